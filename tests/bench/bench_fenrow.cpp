// The board plug-in's data path as users run it, beside a plain receiver
// measured in the same run:
//
//   fenrow_board_sim --mode serial --detector (one "gp7" chip: 128 values,
//   282-byte datagrams, pedestals with noise, several sendmmsg threads)
//   -> brisko --no-gui with libfenrow -> compressed HDF5 run file
//
// The reference is a receiver as strong as this machine allows: the largest
// socket buffer the system grants, a thread pinned to the processor that was
// idlest, recvmmsg, every datagram's bytes read once (a checksum compared
// with what the simulator sends), and its counters checked for loss, order
// and repeats. Both the reference and the program are measured
//   - flat out: the simulator sends as fast as it can; the events per second
//     taken over the span in which they arrived;
//   - at their zero-loss rate: the highest paced rate at which a step loses
//     nothing and is taken in as it comes (everything in within a quarter of
//     a second, or a twentieth of the step, after the sender's last
//     datagram: a receiver that only fills its buffer has not kept pace);
//   - for processor time at a steady rate (300,000 events/s unless asked
//     otherwise), by thread, the simulator's own cost apart;
//   - again for the zero-loss rate and processor time while four other
//     processes keep four processors busy.
// The simulator sends at real-time priority where allowed, so that the
// machine's load holds it back less. Every run file is read back after its
// step: an event counts as taken when the file holds it once, in its sender
// thread's order, with the values sent. A figure whose sender did not reach
// the rate asked says so.
//
//     bench_fenrow [seconds per step] [folder] [sender threads] [steady rate]
//
// BENCH_BRISKO and BENCH_FENROW_PLUGIN in the environment name another build's
// program and plug-in, so that an older build is measured by the same bench.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <hdf5.h>

#include "BoardSim.h"
#include "common/LoopbackPort.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int CHANNELS = 128;
constexpr double TEMPERATURE = 31.0;   // the simulator's stream 1

double since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool wait_until(const std::function<bool()>& cond, double seconds, double step = 0.05)
{
    const auto start = Clock::now();
    while (!cond()) {
        if (since(start) > seconds)
            return false;
        std::this_thread::sleep_for(std::chrono::duration<double>(step));
    }
    return true;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A child process whose output goes to a file.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& output, const std::vector<std::string>& env)
        : _output(output)
    {
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&_pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            _pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { stop(SIGKILL); }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return _pid; }
    std::string output() const { return read_file(_output); }
    // Signals the child and waits for it; its exit status.
    int stop(int sig = SIGINT)
    {
        if (_pid <= 0)
            return -1;
        ::kill(_pid, sig);
        int status = 0;
        waitpid(_pid, &status, 0);
        _pid = -1;
        return status;
    }

private:
    pid_t _pid = -1;
    std::string _output;
};

// Processes that keep processors busy until they are ended.
class Spinners {
public:
    explicit Spinners(int n)
    {
        for (int i = 0; i < n; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                // Gone with the bench, however it ends.
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                volatile unsigned long x = 0;
                for (;;)
                    x = x + 1;
            }
            if (pid > 0)
                _pids.push_back(pid);
        }
    }
    ~Spinners()
    {
        for (pid_t pid : _pids)
            ::kill(pid, SIGKILL);
        for (pid_t pid : _pids)
            waitpid(pid, nullptr, 0);
    }
    Spinners(const Spinners&) = delete;
    Spinners& operator=(const Spinners&) = delete;

private:
    std::vector<pid_t> _pids;
};

// ---------------------------------------------------------------- SOAP

size_t collect(char* data, size_t size, size_t n, void* out)
{
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

// One SOAP operation; the reply's text ("" when the server did not answer).
std::string soap(int port, const std::string& body)
{
    const std::string request =
        "<soap:Envelope xmlns:soap='http://schemas.xmlsoap.org/soap/envelope/'><soap:Body>" + body +
        "</soap:Body></soap:Envelope>";
    std::string reply;
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml");
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    if (curl_easy_perform(curl) != CURLE_OK)
        reply.clear();
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

std::string field(const std::string& reply, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const std::size_t a = reply.find(open);
    if (a == std::string::npos)
        return std::string();
    const std::size_t b = reply.find("</" + name + ">", a);
    return reply.substr(a + open.size(), b - a - open.size());
}

std::string run_state(int port, const std::string& object, const std::string& name)
{
    return field(soap(port, "<getRunState><object>" + object + "</object></getRunState>"), name);
}

void run_control(int port, const std::string& command)
{
    soap(port, "<runControl><runManager>main</runManager><command>" + command + "</command></runControl>");
}

// ------------------------------------------------------ what was sent

fenrow_sim::DataSpec sent_spec()
{
    fenrow_sim::DataSpec spec;
    spec.stream = 1;
    spec.channels = CHANNELS;
    spec.temperature = TEMPERATURE;
    spec.detector = true;
    return spec;
}

// The values the simulator sends for each event counter.
const std::vector<std::uint16_t>& sent_values()
{
    static std::vector<std::uint16_t> table;
    if (table.empty()) {
        table.resize(65536 * CHANNELS);
        for (std::size_t c = 0; c < 65536; ++c) {
            const std::vector<std::uint8_t> packet = fenrow_sim::make_data_packet(sent_spec(), static_cast<std::uint16_t>(c), 0);
            const std::vector<std::uint16_t> w = convert_packet(packet.data(), packet.size());
            std::copy(w.begin() + DATA_HEADER_WORDS, w.begin() + DATA_HEADER_WORDS + CHANNELS,
                      table.begin() + static_cast<long>(c * CHANNELS));
        }
    }
    return table;
}

// Every byte of a datagram but the board time (w4, w5), which the sender
// writes as it sends.
std::uint32_t checksum(const std::uint8_t* bytes, std::size_t n)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        std::uint16_t w;
        std::memcpy(&w, bytes + i, 2);
        sum = sum * 31 + (i == 8 || i == 10 ? 0 : w);
    }
    return sum;
}

struct SentDatagrams {
    std::size_t size = 0;
    std::vector<std::uint32_t> sums;   // by event counter
};

const SentDatagrams& sent_datagrams()
{
    static SentDatagrams sent;
    if (sent.sums.empty()) {
        sent.sums.resize(65536);
        for (std::size_t c = 0; c < 65536; ++c) {
            const std::vector<std::uint8_t> packet = fenrow_sim::make_data_packet(sent_spec(), static_cast<std::uint16_t>(c), 0);
            sent.size = packet.size();
            sent.sums[c] = checksum(packet.data(), packet.size());
        }
    }
    return sent;
}

// Loss, order and repeats of one stream's events as they arrive. Sender
// thread t of n sends the counters t, t + n, ... (modulo 65536) with a board
// time that never goes back: an event whose time is earlier than the last
// one taken from its thread (or as early, and more than half the counters
// behind) came out of order; one with the same counter and time is a repeat.
class OrderCheck {
public:
    explicit OrderCheck(int threads) : _n(threads), _period(65536 / threads), _last(static_cast<std::size_t>(threads)) {}

    void add(std::uint16_t evtcnt, std::uint32_t time, bool intact)
    {
        ++rows;
        if (!intact) {
            ++corrupt;
            return;
        }
        Last& last = _last[static_cast<std::size_t>(evtcnt % _n)];
        const long index = evtcnt / _n;
        if (last.seen) {
            const long ahead = ((index - last.index) % _period + _period) % _period;
            if (time < last.time || (time == last.time && ahead > _period / 2)) {
                ++reordered;
                return;
            }
            if (ahead == 0 && time == last.time) {
                ++repeated;
                return;
            }
        }
        last = Last{true, index, time};
        ++taken;
    }

    long rows = 0;
    long taken = 0;       // once, in order, intact
    long repeated = 0;
    long reordered = 0;
    long corrupt = 0;

private:
    struct Last {
        bool seen = false;
        long index = 0;
        std::uint32_t time = 0;
    };
    int _n;
    long _period;
    std::vector<Last> _last;
};

// The span over which a receiver took a step's events: from the sender's
// start to the last event's arrival. The sender's start on the receiver's
// clock is the earliest arrival less its board time (microseconds since the
// sender started), so that a receiver that was slow to begin is not credited
// with the datagrams its buffer held meanwhile.
struct Arrivals {
    double start = HUGE_VAL;   // microseconds on the receiver's clock
    double last = -HUGE_VAL;

    void add(double arrival, std::uint32_t board_time)
    {
        start = std::min(start, arrival - board_time);
        last = std::max(last, arrival);
    }
    double seconds() const { return last > start ? (last - start) / 1e6 : 0.0; }
    // How long after the sender's last packet the last event came.
    double late(double sender_seconds) const { return std::max(0.0, seconds() - sender_seconds); }
};

// ------------------------------------------------------- the run file

struct Row {
    double temp;
    double daq_time;
    std::uint32_t time;
    std::uint16_t evtcnt;
    std::uint16_t nchan;
    std::uint16_t romode;
    std::uint16_t data[CHANNELS];
};

struct FileCheck {
    OrderCheck order;
    Arrivals arrivals;        // on the program's run clock
    bool opened = false;
    double stored = 0;        // bytes of the events' dataset in the file
    double raw = 0;           // and uncompressed
    explicit FileCheck(int threads) : order(threads) {}
};

// Reads the rows in slices, so that millions of events need little memory.
FileCheck check_file(const std::string& path, int threads)
{
    FileCheck out(threads);
    const std::vector<std::uint16_t>& values = sent_values();
    H5E_BEGIN_TRY
    {
        const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        const hid_t set = file >= 0 ? H5Dopen2(file, "/modules/21/data/fenrow", H5P_DEFAULT) : -1;
        if (set >= 0) {
            out.opened = true;
            const hid_t space = H5Dget_space(set);
            hsize_t n = 0;
            H5Sget_simple_extent_dims(space, &n, nullptr);
            const hid_t stored_type = H5Dget_type(set);
            out.stored = static_cast<double>(H5Dget_storage_size(set));
            out.raw = static_cast<double>(n) * static_cast<double>(H5Tget_size(stored_type));
            H5Tclose(stored_type);
            const hsize_t dims[1] = {CHANNELS};
            const hid_t array = H5Tarray_create2(H5T_NATIVE_UINT16, 1, dims);
            const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(Row));
            H5Tinsert(type, "temp", HOFFSET(Row, temp), H5T_NATIVE_DOUBLE);
            H5Tinsert(type, "daq_time", HOFFSET(Row, daq_time), H5T_NATIVE_DOUBLE);
            H5Tinsert(type, "time", HOFFSET(Row, time), H5T_NATIVE_UINT32);
            H5Tinsert(type, "evtcnt", HOFFSET(Row, evtcnt), H5T_NATIVE_UINT16);
            H5Tinsert(type, "nchan", HOFFSET(Row, nchan), H5T_NATIVE_UINT16);
            H5Tinsert(type, "romode", HOFFSET(Row, romode), H5T_NATIVE_UINT16);
            H5Tinsert(type, "data", HOFFSET(Row, data), array);

            std::vector<Row> rows(65536);
            for (hsize_t at = 0; at < n;) {
                const hsize_t count[1] = {std::min<hsize_t>(rows.size(), n - at)};
                const hsize_t start[1] = {at};
                H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
                const hid_t memory = H5Screate_simple(1, count, nullptr);
                const herr_t rc = H5Dread(set, type, memory, space, H5P_DEFAULT, rows.data());
                H5Sclose(memory);
                if (rc < 0)
                    break;
                for (hsize_t i = 0; i < count[0]; ++i) {
                    const Row& r = rows[i];
                    out.arrivals.add(r.daq_time, r.time);
                    const bool intact = r.temp == TEMPERATURE && r.nchan == CHANNELS && r.romode == RO_SERIAL
                                        && std::memcmp(r.data, &values[r.evtcnt * std::size_t{CHANNELS}], sizeof r.data) == 0;
                    out.order.add(r.evtcnt, r.time, intact);
                }
                at += count[0];
            }
            H5Tclose(type);
            H5Tclose(array);
            H5Sclose(space);
            H5Dclose(set);
        }
        if (file >= 0)
            H5Fclose(file);
    }
    H5E_END_TRY;
    return out;
}

// --------------------------------------------------- processor time

// Processor time of each thread of a process, by thread id.
struct ThreadTime {
    std::string name;
    double seconds = 0;
};

// Seconds on a processor clock of a process or thread; 0 when it has none.
double clock_seconds(int rc, clockid_t id)
{
    timespec ts{};
    if (rc != 0 || clock_gettime(id, &ts) != 0)
        return 0;
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double process_seconds(pid_t pid)
{
    clockid_t id{};
    const int rc = clock_getcpuclockid(pid, &id);
    return clock_seconds(rc, id);
}

std::map<int, ThreadTime> thread_times(pid_t pid)
{
    std::map<int, ThreadTime> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    static const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    while (dirent* e = readdir(d)) {
        const int tid = std::atoi(e->d_name);
        if (tid <= 0)
            continue;
        const std::string task = dir + "/" + e->d_name;
        ThreadTime t;
        t.name = read_file(task + "/comm");
        if (!t.name.empty() && t.name.back() == '\n')
            t.name.pop_back();
        // Nanoseconds where the kernel keeps them, else clock ticks.
        const std::string sched = read_file(task + "/schedstat");
        if (!sched.empty()) {
            t.seconds = std::atof(sched.c_str()) / 1e9;
        } else {
            const std::string stat = read_file(task + "/stat");
            const std::size_t close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream in(stat.substr(close + 2));
            std::string skip;
            for (int i = 3; i < 14; ++i)
                in >> skip;
            double user = 0;
            double system = 0;
            in >> user >> system;
            t.seconds = (user + system) / tick;
        }
        out[tid] = t;
    }
    closedir(d);
    return out;
}

// The processor time a process spent over a window, by thread name.
struct Usage {
    double total = 0;                          // the whole process
    std::map<std::string, double> by_name;     // threads alive at the end
    std::map<std::string, int> threads;
    double ended = 0;                          // threads that ended meanwhile
};

class UsageWindow {
public:
    explicit UsageWindow(pid_t pid) : _pid(pid), _total(process_seconds(pid)), _threads(thread_times(pid)) {}

    Usage close() const
    {
        Usage u;
        u.total = process_seconds(_pid) - _total;
        double named = 0;
        for (const auto& [tid, t] : thread_times(_pid)) {
            const auto before = _threads.find(tid);
            const double used = t.seconds - (before != _threads.end() ? before->second.seconds : 0.0);
            std::string name = t.name;
            if (tid == _pid)
                name += " (first thread)";
            else if (name == main_name())
                name = "unnamed";
            u.by_name[name] += used;
            u.threads[name] += 1;
            named += used;
        }
        u.ended = std::max(0.0, u.total - named);
        return u;
    }

private:
    std::string main_name() const
    {
        const auto it = _threads.find(_pid);
        return it != _threads.end() ? it->second.name : std::string();
    }

    pid_t _pid;
    double _total;
    std::map<int, ThreadTime> _threads;
};

double thread_seconds(pthread_t thread)
{
    clockid_t id{};
    const int rc = pthread_getcpuclockid(thread, &id);
    return clock_seconds(rc, id);
}

// The processor of this process's set that was idlest over a short look.
int idlest_processor()
{
    cpu_set_t mine;
    CPU_ZERO(&mine);
    sched_getaffinity(0, sizeof mine, &mine);
    const auto idle = [] {
        std::map<int, double> out;
        std::istringstream in(read_file("/proc/stat"));
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("cpu", 0) != 0 || line.size() < 4 || !std::isdigit(static_cast<unsigned char>(line[3])))
                continue;
            std::istringstream f(line.substr(3));
            int cpu = 0;
            double user = 0, nice = 0, system = 0, idle_time = 0, iowait = 0;
            f >> cpu >> user >> nice >> system >> idle_time >> iowait;
            out[cpu] = idle_time + iowait;
        }
        return out;
    };
    const std::map<int, double> a = idle();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::map<int, double> b = idle();
    int best = -1;
    double most = -1;
    for (const auto& [cpu, t] : b) {
        const auto before = a.find(cpu);
        if (!CPU_ISSET(cpu, &mine) || before == a.end())
            continue;
        if (t - before->second > most) {
            most = t - before->second;
            best = cpu;
        }
    }
    return best;
}

std::string load_average()
{
    std::string text = read_file("/proc/loadavg");
    const std::size_t cut = text.find(' ', text.find(' ', text.find(' ') + 1) + 1);
    return text.substr(0, cut);
}

// --------------------------------------------------------------- steps

// The packets the simulator says it sent, over how many seconds from its
// start to its last packet, and at what rate.
bool sent_line(const std::string& output, long& sent, double& seconds, double& rate)
{
    const std::size_t at = output.find("sent ");
    if (at == std::string::npos)
        return false;
    const std::size_t in = output.find(" in ", at);
    const std::size_t open = output.find('(', at);
    sent = std::atol(output.c_str() + at + 5);
    seconds = in == std::string::npos ? 0.0 : std::atof(output.c_str() + in + 4);
    rate = open == std::string::npos ? 0.0 : std::atof(output.c_str() + open + 1);
    return true;
}

// What the simulator said of its priority, if anything.
std::string board_note(const std::string& output)
{
    const std::size_t at = output.find("real-time priority refused");
    return at == std::string::npos ? std::string() : output.substr(at, output.find('\n', at) - at);
}

// One step of one receiver: what was asked and sent, what it took, and
// how long after the sender's last datagram it had taken its last event.
struct Step {
    std::string who;
    double asked = 0;      // 0: flat out
    double sent_rate = 0;
    double sent_seconds = 0;
    long sent = 0;
    OrderCheck order{1};
    double seconds = 0;    // over which the events arrived
    double behind = 0;
    double stored = 0;     // run file: bytes of the events and uncompressed
    double raw = 0;
    bool file_ok = true;
    std::string where;     // the program's own words on dropped events
    std::string sender_note;

    long lost() const { return std::max(0L, sent - order.taken); }
    bool faults() const { return order.repeated || order.reordered || order.corrupt || order.taken > sent || !file_ok; }
    double intake() const { return seconds > 0 ? order.taken / seconds : 0.0; }
    bool sender_short() const { return asked > 0 && sent_rate < 0.97 * asked; }
};

void print_step_header()
{
    std::printf("  %-10s %9s %9s %9s %9s %8s %5s %5s %5s %7s %10s\n", "receiver", "asked/s", "sent/s", "sent", "taken",
                "lost", "rep", "reord", "bad", "late s", "intake/s");
}

void print_step(const Step& s)
{
    std::printf("  %-10s ", s.who.c_str());
    if (s.asked > 0)
        std::printf("%9.0f", s.asked);
    else
        std::printf("%9s", "flat out");
    std::printf(" %9.0f %9ld %9ld %8ld %5ld %5ld %5ld %7.2f %10.0f", s.sent_rate, s.sent, s.order.taken, s.lost(),
                s.order.repeated, s.order.reordered, s.order.corrupt, s.behind, s.intake());
    if (s.raw > 0)
        std::printf("  file %.2f:1", s.raw / std::max(1.0, s.stored));
    if (!s.file_ok)
        std::printf("  NO RUN FILE");
    if (s.sender_short())
        std::printf("  [sender short]");
    if (!s.where.empty())
        std::printf("  %s", s.where.c_str());
    if (!s.sender_note.empty())
        std::printf("  (simulator: %s)", s.sender_note.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

// A step without loss that was taken in as it came.
bool clean(const Step& s, double step_seconds)
{
    return s.lost() == 0 && !s.faults() && s.behind <= std::max(0.25, 0.05 * step_seconds);
}

// The zero-loss rate found by a bounded search.
struct ZeroLoss {
    double rate = 0;
    bool by_sender = false;   // the sender did not reach a rate that lost
    bool by_steps = false;    // nothing lost up to the last rate tried
};

// From the first rate up by a quarter while steps are clean, down to 0.6 of
// it while they are not, then halving the interval between the highest
// clean and the lowest unclean rate, at most `steps` steps in all. A sender
// short of the rate asked is asked for more while that still brings more.
ZeroLoss search(const std::function<Step(double)>& measure, double first, double step_seconds, int steps = 7)
{
    ZeroLoss z;
    double bad = 0;
    double best_sent = 0;
    double rate = first;
    for (int i = 0; i < steps && rate > 1000; ++i) {
        const Step s = measure(rate);
        print_step(s);
        if (clean(s, step_seconds)) {
            z.rate = std::max(z.rate, std::min(rate, s.sent_rate));
            if (s.sender_short()) {
                if (s.sent_rate < 1.02 * best_sent) {
                    z.by_sender = true;
                    break;
                }
                best_sent = s.sent_rate;
            }
        } else {
            bad = bad > 0 ? std::min(bad, rate) : rate;
        }
        if (bad > 0 && z.rate > 0 && bad - z.rate <= 0.04 * z.rate)
            break;
        if (bad == 0)
            rate *= 1.25;
        else if (z.rate == 0)
            rate *= 0.6;
        else
            rate = (z.rate + bad) / 2;
    }
    z.by_steps = bad == 0 && z.rate > 0 && !z.by_sender;
    return z;
}

// What a steady step measures over a window in its middle.
struct Window {
    double seconds = 0;   // its length
    long events = 0;      // the receiver took over it
    double cpu = 0;       // the receiver's processor time over it
    Usage usage;          // the program's, by thread
    Usage sender;         // the simulator's
    double per_million() const { return events > 0 ? cpu / events * 1e6 : 0.0; }
};

// The simulator's command line for a step. It sends at real-time priority
// where allowed: a board is not held back by the host's load, and flat out
// it should offer more than a receiver takes.
std::vector<std::string> board_args(const std::string& host, double rate, long count, int threads, bool on_start)
{
    std::vector<std::string> args = {BENCH_BOARD_SIM, "--address", "127.0.0.2", "--host", host, "--mode", "serial",
                                     "--detector", "--realtime", "--count", std::to_string(count), "--rate",
                                     std::to_string(rate), "--threads", std::to_string(threads)};
    if (on_start)
        args.push_back("--on-start");
    return args;
}

// ------------------------------------------------------ the reference

// The plain receiver: a socket of its own with the largest buffer the
// system grants, and a thread pinned to the idlest processor for each step.
class Reference {
public:
    // Spinning, the thread never sleeps: the strongest receiver. Blocking,
    // it sleeps in recvmmsg until a datagram comes. Both at real-time
    // priority where allowed, as the program's receiving thread; for the
    // processor time at a steady rate it blocks at ordinary priority, the
    // cheapest way to take every datagram.
    enum class Way { spinning, blocking, cheapest };

    Reference(int threads, const std::string& dir, const std::vector<std::string>& env)
        : _threads(threads), _dir(dir), _env(env)
    {
        _fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        // Halved by the kernel's doubling; as root SO_RCVBUFFORCE passes
        // the system's limit, else SO_RCVBUF is held to it.
        int asked = 1 << 30;
        _forced = setsockopt(_fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) == 0;
        if (!_forced)
            setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
        socklen_t len = sizeof _granted;
        getsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &_granted, &len);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ::bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        len = sizeof a;
        getsockname(_fd, reinterpret_cast<sockaddr*>(&a), &len);
        _port = ntohs(a.sin_port);
        sent_datagrams();
    }
    ~Reference() { ::close(_fd); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    std::string describe() const
    {
        return std::string("socket buffer ") + std::to_string(_granted >> 20) + " MiB granted (" +
               (_forced ? "SO_RCVBUFFORCE" : "SO_RCVBUF") + "), " +
               (_realtime ? "real-time priority (SCHED_FIFO 1)" : "ordinary priority (SCHED_FIFO refused)");
    }

    // One step: the simulator sends `count` events at the rate (0: flat
    // out). With a window, what it measures, from half a second after the
    // first datagram.
    Step step(double rate, long count, Way way, Window* window = nullptr)
    {
        Step s;
        s.who = way == Way::spinning ? "ref-spin" : way == Way::blocking ? "ref-block" : "ref-cpu";
        s.asked = rate;
        s.order = OrderCheck(_threads);
        _stop = false;
        _received = 0;
        _cpu = idlest_processor();
        // Nothing of an earlier step counts in this one.
        std::uint8_t drain[2048];
        while (::recv(_fd, drain, sizeof drain, MSG_DONTWAIT) >= 0) {
        }
        Arrivals arrivals;
        std::atomic<bool> started{false};
        std::thread receiver([&] { receive(s.order, arrivals, started, way); });
        Child board(board_args("127.0.0.1:" + std::to_string(_port), rate, count, _threads, false),
                    _dir + "/reference-board.log", _env);
        if (window) {
            wait_until([&] { return started.load(); }, 30, 0.01);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const double cpu0 = thread_seconds(receiver.native_handle());
            const long events0 = _received.load();
            UsageWindow sim(board.pid());
            std::this_thread::sleep_for(std::chrono::duration<double>(window->seconds));
            window->cpu = thread_seconds(receiver.native_handle()) - cpu0;
            window->events = _received.load() - events0;
            window->sender = sim.close();
        }
        wait_until([&] { return sent_line(board.output(), s.sent, s.sent_seconds, s.sent_rate); }, count / 1000.0 + 60,
                   0.01);
        long seen = -1;
        wait_until(
            [&] {
                const long now = _received.load();
                const bool settled = now == seen;
                seen = now;
                return now >= s.sent || settled;
            },
            60, 0.25);
        _stop = true;
        receiver.join();
        s.sender_note = board_note(board.output());
        board.stop(SIGINT);
        s.seconds = arrivals.seconds();
        s.behind = arrivals.late(s.sent_seconds);
        return s;
    }

private:
    void receive(OrderCheck& order, Arrivals& arrivals, std::atomic<bool>& started, Way way)
    {
        pthread_setname_np(pthread_self(), "reference");
        const bool spin = way == Way::spinning;
        if (way != Way::cheapest) {
            sched_param priority{};
            priority.sched_priority = 1;
            _realtime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
        }
        if (_cpu >= 0) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(_cpu, &one);
            pthread_setaffinity_np(pthread_self(), sizeof one, &one);
        }
        timeval timeout{0, 50000};
        setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        const SentDatagrams& sent = sent_datagrams();
        constexpr unsigned batch = 64;
        constexpr std::size_t room = 2048;
        std::vector<std::uint8_t> buffers(batch * room);
        mmsghdr headers[batch];
        iovec vectors[batch];
        while (!_stop) {
            for (unsigned i = 0; i < batch; ++i) {
                vectors[i] = iovec{&buffers[i * room], room};
                headers[i] = mmsghdr{};
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(_fd, headers, batch, spin ? MSG_DONTWAIT : MSG_WAITFORONE, nullptr);
            if (n <= 0)
                continue;
            const Clock::time_point now = Clock::now();
            const double arrival = std::chrono::duration<double, std::micro>(now.time_since_epoch()).count();
            started = true;
            for (int i = 0; i < n; ++i) {
                const std::uint8_t* d = &buffers[static_cast<std::size_t>(i) * room];
                const std::size_t size = headers[i].msg_len;
                const std::uint16_t evtcnt = static_cast<std::uint16_t>(d[6] << 8 | d[7]);
                const std::uint32_t time = static_cast<std::uint32_t>(d[8]) << 24 | static_cast<std::uint32_t>(d[9]) << 16
                                           | static_cast<std::uint32_t>(d[10]) << 8 | d[11];
                const bool intact = size == sent.size && !(headers[i].msg_hdr.msg_flags & MSG_TRUNC)
                                    && checksum(d, size) == sent.sums[evtcnt];
                order.add(evtcnt, time, intact);
                arrivals.add(arrival, time);
            }
            _received += n;
        }
    }

    int _threads;
    std::string _dir;
    std::vector<std::string> _env;
    int _fd = -1;
    int _port = 0;
    int _granted = 0;
    bool _forced = false;
    int _cpu = -1;
    std::atomic<bool> _realtime{false};
    std::atomic<bool> _stop{false};
    std::atomic<long> _received{0};
};

// --------------------------------------------------------- the program

class Program {
public:
    Program(const std::string& folder, int threads) : _dir(folder), _threads(threads)
    {
        _host_port = loopback::unused_port(SOCK_DGRAM);
        _board_port = loopback::unused_port(SOCK_DGRAM);
        _soap_port = loopback::unused_port(SOCK_STREAM);
        for (char** e = environ; *e; ++e) {
            const std::string v = *e;
            if (v.rfind("HOME=", 0) != 0 && v.rfind("XDG_", 0) != 0 && v.rfind("FENROW_", 0) != 0)
                _env.push_back(v);
        }
        const std::string home = _dir + "/home";
        ::mkdir(home.c_str(), 0700);
        for (const std::string& v :
             {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config", "XDG_DATA_HOME=" + home + "/.local/share",
              "XDG_CACHE_HOME=" + home + "/.cache", std::string("FENROW_BIND_ADDRESS=127.0.0.1"),
              std::string("FENROW_KNOCK_ADDRESS=127.255.255.255"),
              "FENROW_HOST_PORT=" + std::to_string(_host_port), "FENROW_BOARD_PORT=" + std::to_string(_board_port),
              "FENROW_TRIGGER_PORT=" + std::to_string(loopback::unused_port(SOCK_DGRAM))})
            _env.push_back(v);
    }

    const std::vector<std::string>& env() const { return _env; }
    const std::string& dir() const { return _dir; }
    pid_t pid() const { return _program ? _program->pid() : -1; }

    static std::string from_env(const char* name, const char* built)
    {
        const char* value = std::getenv(name);
        return value && *value ? value : built;
    }

    bool start()
    {
        const std::string config = _dir + "/bench.xml";
        const std::string plugin = from_env("BENCH_FENROW_PLUGIN", BENCH_FENROW_PLUGIN);
        std::ofstream(config) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                 "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n<plugins><plugin name=\"fenrow\" "
                                 "module=\"fenrow\"><lib>"
                              << plugin
                              << "</lib><hook>create_Fenrow</hook></plugin></plugins>\n"
                                 "<modules><fenrow name=\"127.0.0.2\"><stream name=\"21\" "
                                 "address=\"127.0.0.2\"><nchips>1</nchips><chip_type>gp7</chip_type>"
                                 "<ro_mode>serial</ro_mode></stream></fenrow></modules>\n"
                                 "<general><daq><soap_port>"
                              << _soap_port << "</soap_port></daq></general>\n</Sorbek>\n";
        _program = std::make_unique<Child>(std::vector<std::string>{from_env("BENCH_BRISKO", BENCH_BRISKO), "--no-gui", config},
                                           _dir + "/brisko.log", _env);
        if (!wait_until([&] { return !soap(_soap_port, "<listModules/>").empty(); }, 30)) {
            std::fprintf(stderr, "brisko does not answer; see %s/brisko.log\n", _dir.c_str());
            return false;
        }
        // A board that only answers: it is registered at a knock.
        Child board({BENCH_BOARD_SIM, "--address", "127.0.0.2"}, _dir + "/board0.log", _env);
        if (!wait_until([&] { return soap(_soap_port, "<listModules/>").find("<item>21</item>") != std::string::npos; },
                        30)) {
            std::fprintf(stderr, "the board was not registered; see %s/brisko.log\n", _dir.c_str());
            return false;
        }
        return true;
    }

    void stop()
    {
        if (_program)
            _program->stop(SIGINT);
    }

    // One run into a compressed run file, the board sending `count` events
    // at the rate (0: flat out) between the run's start and stop. With a
    // window, what it measures, from half a second after the first event.
    Step step(double rate, long count, Window* window = nullptr)
    {
        Step s;
        s.who = "program";
        s.asked = rate;
        Child board(board_args("127.0.0.1:" + std::to_string(_host_port), rate, count, _threads, true),
                    _dir + "/board.log", _env);
        wait_until([&] { return board.output().find("board on") != std::string::npos; }, 30);
        const std::string log_before = read_file(_dir + "/brisko.log");

        const std::string stem = _dir + "/step" + std::to_string(_index++);
        // The program would write beside an older file of the name.
        std::remove((stem + ".h5").c_str());
        soap(_soap_port, "<setParameter><object>main</object><name>command</name><value>logData|file=" + stem +
                             ":max_size=0:compression=yes</value></setParameter>");
        run_control(_soap_port, "Start");
        if (window) {
            wait_until([&] { return std::atol(run_state(_soap_port, "21", "nTrigger").c_str()) > 0; }, 30, 0.01);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const long events0 = std::atol(run_state(_soap_port, "21", "nTrigger").c_str());
            UsageWindow program(pid());
            UsageWindow sim(board.pid());
            std::this_thread::sleep_for(std::chrono::duration<double>(window->seconds));
            window->usage = program.close();
            window->sender = sim.close();
            window->events = std::atol(run_state(_soap_port, "21", "nTrigger").c_str()) - events0;
            window->cpu = window->usage.total;
        }
        wait_until([&] { return sent_line(board.output(), s.sent, s.sent_seconds, s.sent_rate); }, count / 1000.0 + 60,
                   0.01);
        // The events still on their way through the program: until all
        // are in, or none has come for a second.
        long last = -1;
        Clock::time_point changed = Clock::now();
        wait_until(
            [&] {
                const long now = std::atol(run_state(_soap_port, "21", "nTrigger").c_str());
                if (now != last) {
                    last = now;
                    changed = Clock::now();
                }
                return now >= s.sent || since(changed) > 1.0;
            },
            120, 0.05);
        run_control(_soap_port, "Stop");
        wait_until([&] { return run_state(_soap_port, "main", "active") == "false"; }, 60);
        s.sender_note = board_note(board.output());
        board.stop(SIGINT);

        FileCheck file = check_file(stem + ".h5", _threads);
        s.order = file.order;
        s.seconds = file.arrivals.seconds();
        s.behind = file.arrivals.late(s.sent_seconds);
        s.stored = file.stored;
        s.raw = file.raw;
        s.file_ok = file.opened;
        const std::string log = read_file(_dir + "/brisko.log").substr(log_before.size());
        const std::size_t drop = log.find("events dropped");
        if (drop != std::string::npos) {
            const std::size_t begin = log.rfind('\n', drop) + 1;
            s.where = log.substr(begin, log.find('\n', drop) - begin);
        }
        std::remove((stem + ".h5").c_str());
        _history.push_back(s);
        return s;
    }

    // Every step so far.
    const std::vector<Step>& history() const { return _history; }

private:
    std::vector<Step> _history;
    std::string _dir;
    int _threads;
    int _host_port;
    int _board_port;
    int _soap_port;
    int _index = 0;
    std::vector<std::string> _env;
    std::unique_ptr<Child> _program;
};

// ----------------------------------------------------------- printout

void print_usage(const char* title, const Usage& u, long events, const char* which = "taken")
{
    std::printf("  %s: %.3f processor-s per million events %s (%.2f processor-s over %ld events)\n", title,
                events > 0 ? u.total / events * 1e6 : 0.0, which, u.total, events);
    std::vector<std::pair<double, std::string>> sorted;
    for (const auto& [name, seconds] : u.by_name)
        sorted.emplace_back(seconds, name);
    std::sort(sorted.rbegin(), sorted.rend());
    for (const auto& [seconds, name] : sorted) {
        const int n = u.threads.at(name);
        std::printf("      %-28s %8.3f  %s\n", (name + (n > 1 ? " x" + std::to_string(n) : "")).c_str(),
                    events > 0 ? seconds / events * 1e6 : 0.0, name == "unnamed" ? "(threads without a name)" : "");
    }
    if (u.ended > 0.005)
        std::printf("      %-28s %8.3f\n", "(threads that ended)", events > 0 ? u.ended / events * 1e6 : 0.0);
}

const char* verdict(bool met)
{
    return met ? "met" : "NOT MET";
}

void print_ratio(const char* what, double program, const char* program_bound, double reference,
                 const char* reference_bound, double goal)
{
    const double ratio = reference > 0 ? program / reference : 0.0;
    std::printf("%-44s %10.0f ev/s %10.0f ev/s %6.2f   goal >= %.2f: %s", what, program, reference, ratio, goal,
                verdict(ratio >= goal));
    if (*program_bound)
        std::printf("  [program figure %s]", program_bound);
    if (*reference_bound)
        std::printf("  [reference %s]", reference_bound);
    std::printf("\n");
}

const char* bound(const ZeroLoss& z)
{
    return z.by_sender ? "bounded by the sender" : z.by_steps ? "no loss up to the last rate tried" : "";
}

const char* bound(const Step& flat)
{
    return flat.lost() == 0 ? "bounded by the sender" : "";
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::string folder;
    if (argc > 2 && argv[2][0]) {
        folder = argv[2];
        ::mkdir(folder.c_str(), 0700);
    } else {
        char pattern[] = "/tmp/bench-fenrow-XXXXXX";
        folder = mkdtemp(pattern);
    }
    const int threads = argc > 3 ? std::atoi(argv[3]) : 4;
    const double steady = argc > 4 ? std::atof(argv[4]) : 300000.0;
    if (threads != 1 && threads != 2 && threads != 4 && threads != 8) {
        std::fprintf(stderr, "sender threads: 1, 2, 4 or 8\n");
        return 2;
    }
    if (seconds <= 0 || steady <= 0) {
        std::fprintf(stderr, "usage: bench_fenrow [seconds per step] [folder] [sender threads] [steady rate]\n");
        return 2;
    }
    const Clock::time_point began = Clock::now();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::printf("one board, one \"gp7\" chip in serial mode (282-byte datagrams, pedestals with noise) from %d sender "
                "threads;\n%.1f s per step; files in %s\n", threads, seconds, folder.c_str());
    std::printf("%ld processors, load average %s at the start\n", sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str());
    sent_values();

    Program program(folder, threads);
    Reference reference(threads, folder, program.env());
    const auto count = [&](double rate) { return std::max<long>(20000, static_cast<long>(rate * seconds)); };
    Window window;
    window.seconds = std::max(2.0, seconds);
    const long steady_count = static_cast<long>(steady * (window.seconds + 2));

    // The reference, idle: flat out spinning and flat out blocking, which
    // also tells how fast the sender goes; the stronger way is the
    // reference from then on. Then its zero-loss rate and its processor
    // time at the steady rate.
    print_step_header();
    const Step ref_spin = reference.step(0, static_cast<long>(500000 * seconds), Reference::Way::spinning);
    print_step(ref_spin);
    const double sender_rate = std::max(300000.0, ref_spin.sent_rate);
    const Step ref_block = reference.step(0, count(sender_rate), Reference::Way::blocking);
    print_step(ref_block);
    const Reference::Way way = ref_spin.intake() >= ref_block.intake() ? Reference::Way::spinning : Reference::Way::blocking;
    const Step& ref_flat = way == Reference::Way::spinning ? ref_spin : ref_block;
    const auto ref_step = [&](double rate) { return reference.step(rate, count(rate), way); };
    const auto prog_step = [&](double rate) { return program.step(rate, count(rate)); };
    const ZeroLoss ref_zero = search(ref_step, 0.8 * std::max(ref_flat.intake(), 100000.0), seconds);
    Window ref_cost = window;
    const Step ref_cost_step = reference.step(steady, steady_count, Reference::Way::cheapest, &ref_cost);
    print_step(ref_cost_step);
    std::printf("reference: recvmmsg %s on a thread pinned to the idlest processor, %s\n",
                way == Reference::Way::spinning ? "spinning" : "blocking", reference.describe().c_str());

    if (!program.start())
        return 1;
    const Step flat = program.step(0, count(sender_rate));
    print_step(flat);
    const ZeroLoss zero = search(prog_step, 0.8 * std::max(std::min(flat.intake(), ref_zero.rate), 100000.0), seconds);
    Window cost = window;
    const Step cost_step = program.step(steady, steady_count, &cost);
    print_step(cost_step);

    std::printf("\nfour other processes keep four processors busy (load average %s)\n", load_average().c_str());
    ZeroLoss ref_busy;
    ZeroLoss busy;
    Window busy_cost = window;
    Step busy_cost_step;
    {
        Spinners spinners(4);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        print_step_header();
        ref_busy = search(ref_step, std::max(ref_zero.rate, 100000.0), seconds);
        busy = search(prog_step, std::max(zero.rate, 100000.0), seconds);
        busy_cost_step = program.step(steady, steady_count, &busy_cost);
        print_step(busy_cost_step);
    }
    program.stop();

    // Once more flat out, to see how much the machine's load moved the
    // reference meanwhile; the stronger of the two stands.
    std::printf("\n");
    const Step ref_flat2 = reference.step(0, count(sender_rate), way);
    print_step(ref_flat2);
    const Step& ref_best = ref_flat2.intake() > ref_flat.intake() ? ref_flat2 : ref_flat;
    std::printf("load average %s at the end\n", load_average().c_str());

    std::printf("\n%-44s %16s %16s %6s\n", "", "program", "reference", "ratio");
    print_ratio("zero-loss rate into the HDF5 file, idle", zero.rate, bound(zero), ref_zero.rate, bound(ref_zero), 0.8);
    print_ratio("flat-out intake into the HDF5 file", flat.intake(), bound(flat), ref_best.intake(), bound(ref_best), 0.9);
    print_ratio("zero-loss rate, four processors busy", busy.rate, bound(busy), ref_busy.rate, bound(ref_busy), 0.8);
    std::printf("\n%-34s %11s %16s %16s\n", "processor-s per million events", "rate", "program", "reference");
    const auto print_cost = [&](const char* what, const Window& w, const Step& st) {
        std::printf("%-34s %9.0f/s %16.3f %16.3f   goal <= 4.00: %s", what, st.sent_rate, w.per_million(),
                    ref_cost.per_million(), verdict(w.events > 0 && w.per_million() <= 4.0 && st.lost() == 0));
        if (st.lost() > 0)
            std::printf("  (%ld of %ld events lost in the step)", st.lost(), st.sent);
        if (st.sender_short())
            std::printf("  [bounded by the sender: asked %.0f/s]", st.asked);
        std::printf("\n");
    };
    print_cost("at a steady rate, idle", cost, cost_step);
    print_cost("at a steady rate, four busy", busy_cost, busy_cost_step);
    std::printf("  (the reference: %.0f/s asked, %.0f/s sent, blocking at ordinary priority)\n", ref_cost_step.asked,
                ref_cost_step.sent_rate);

    std::printf("\nprocessor-s per million events by thread at a steady rate (the simulator apart)\n");
    print_usage("program, idle", cost.usage, cost.events);
    print_usage("program, four processors busy", busy_cost.usage, busy_cost.events);
    std::printf("  reference receiver thread: %.3f\n", ref_cost.per_million());
    const auto sent_over = [](const Window& w, const Step& st) { return static_cast<long>(st.sent_rate * w.seconds); };
    print_usage("simulator while the program took, idle", cost.sender, sent_over(cost, cost_step), "sent");
    print_usage("simulator while the reference took, idle", ref_cost.sender, sent_over(ref_cost, ref_cost_step), "sent");
    std::printf("  (on loopback the kernel's delivery into the receiving socket is the sender's processor time;\n"
                "   a thread started without a name of its own carries its starter's)\n");

    long faults = 0;
    long faulty_steps = 0;
    for (const Step& s : program.history()) {
        faults += s.order.repeated + s.order.reordered + s.order.corrupt + (s.file_ok ? 0 : 1);
        faulty_steps += s.faults() ? 1 : 0;
    }
    std::printf("\nsteady steps lost %ld (idle) and %ld (busy) of %ld and %ld events\n", cost_step.lost(),
                busy_cost_step.lost(), cost_step.sent, busy_cost_step.sent);
    std::printf("events repeated, out of order or corrupted in all %zu program steps: %ld%s\n",
                program.history().size(), faults, faulty_steps ? "  FAULT" : "");
    std::printf("the bench took %.0f s\n", since(began));
    std::printf("(the machine is shared: other processes' load moves every figure; the ratios hold better than the "
                "absolute rates)\n");
    curl_global_cleanup();
    return 0;
}
