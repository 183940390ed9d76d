// The board plug-in's data path end to end, beside a plain receive loop
// measured in the same run:
//
//   fenrow_board_sim --mode serial (one "gp7" chip: 128 values, 282-byte
//   datagrams) -> brisko --no-gui with libfenrow -> HDF5 run file
//
// The simulated board sends its events at stepped rates, each step a run
// started and stopped through the SOAP server; an event is lost when the
// run file does not hold it (its board event counter, in order). The
// highest rate without loss is printed beside the rate at which a plain
// recvmmsg loop receives the same datagrams from the same simulator.
//
//     bench_fenrow [seconds per step] [folder]
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <hdf5.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

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

int free_port(int type)
{
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
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

    bool running() const { return _pid > 0; }
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

// The board event counters of module 21's events in the run file, in order;
// empty when the file cannot be read.
std::vector<std::uint16_t> file_counters(const std::string& path)
{
    std::vector<std::uint16_t> out;
    H5E_BEGIN_TRY
    {
        const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        if (file >= 0) {
            const hid_t set = H5Dopen2(file, "/modules/21/data/fenrow", H5P_DEFAULT);
            if (set >= 0) {
                const hid_t space = H5Dget_space(set);
                hsize_t n = 0;
                H5Sget_simple_extent_dims(space, &n, nullptr);
                const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(std::uint16_t));
                H5Tinsert(type, "evtcnt", 0, H5T_NATIVE_UINT16);
                out.resize(n);
                if (n > 0 && H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()) < 0)
                    out.clear();
                H5Tclose(type);
                H5Sclose(space);
                H5Dclose(set);
            }
            H5Fclose(file);
        }
    }
    H5E_END_TRY;
    return out;
}

// The packets the simulator says it sent, and at what rate.
bool sent_line(const std::string& output, long& sent, double& rate)
{
    const std::size_t at = output.find("sent ");
    if (at == std::string::npos)
        return false;
    const std::size_t open = output.find('(', at);
    sent = std::atol(output.c_str() + at + 5);
    rate = open == std::string::npos ? 0.0 : std::atof(output.c_str() + open + 1);
    return true;
}

struct Step {
    double asked = 0;
    double sent_rate = 0;
    long sent = 0;
    long in_file = 0;
    long lost = 0;
    std::string where;
};

class Bench {
public:
    Bench(double seconds, const std::string& folder) : _seconds(seconds), _dir(folder)
    {
        _host_port = free_port(SOCK_DGRAM);
        _board_port = free_port(SOCK_DGRAM);
        _soap_port = free_port(SOCK_STREAM);
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
              "FENROW_TRIGGER_PORT=" + std::to_string(free_port(SOCK_DGRAM))})
            _env.push_back(v);
    }

    bool start_program()
    {
        const std::string config = _dir + "/bench.xml";
        std::ofstream(config) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                 "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n<plugins><plugin name=\"fenrow\" "
                                 "module=\"fenrow\"><lib>" BENCH_FENROW_PLUGIN "</lib><hook>create_Fenrow</hook>"
                                 "</plugin></plugins>\n<modules><fenrow name=\"127.0.0.2\"><stream name=\"21\" "
                                 "address=\"127.0.0.2\"><nchips>1</nchips><chip_type>gp7</chip_type>"
                                 "<ro_mode>serial</ro_mode></stream></fenrow></modules>\n"
                                 "<general><daq><soap_port>"
                              << _soap_port << "</soap_port></daq></general>\n</Sorbek>\n";
        _program = std::make_unique<Child>(std::vector<std::string>{BENCH_BRISKO, "--no-gui", config},
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

    void stop_program()
    {
        if (_program)
            _program->stop(SIGINT);
    }

    // One run with the board sending `seconds` worth of events at the rate
    // (0: as fast as it can). Without a run file the events the stream
    // module gave the run count as taken.
    Step step(double rate, int index, bool to_file = true)
    {
        Step s;
        s.asked = rate;
        const long count = std::max<long>(20000, static_cast<long>((rate > 0 ? rate : 250000) * _seconds));
        const std::string host = "127.0.0.1:" + std::to_string(_host_port);
        Child board({BENCH_BOARD_SIM, "--address", "127.0.0.2", "--host", host, "--mode", "serial", "--on-start",
                     "--count", std::to_string(count), "--rate", std::to_string(rate)},
                    _dir + "/board.log", _env);
        wait_until([&] { return board.output().find("board on") != std::string::npos; }, 10);
        const std::string log_before = read_file(_dir + "/brisko.log");

        const std::string stem = _dir + "/step" + std::to_string(index);
        if (to_file)
            soap(_soap_port, "<setParameter><object>main</object><name>command</name><value>logData|file=" + stem +
                                 ":max_size=0:compression=no</value></setParameter>");
        run_control(_soap_port, "Start");
        double sent_rate = 0;
        wait_until([&] { return sent_line(board.output(), s.sent, sent_rate); }, _seconds * 10 + 60);
        s.sent_rate = sent_rate;
        // The events still on their way through the program.
        std::string last;
        int same = 0;
        wait_until(
            [&] {
                const std::string now = run_state(_soap_port, "21", "nTrigger");
                same = now == last ? same + 1 : 0;
                last = now;
                return same >= 5 || std::atol(now.c_str()) >= s.sent;
            },
            120, 0.1);
        run_control(_soap_port, "Stop");
        wait_until([&] { return run_state(_soap_port, "main", "active") == "false"; }, 60);
        board.stop(SIGINT);

        if (to_file) {
            // The counters, unwrapped from 16 bits: each one sent, once and
            // in order, is an event the file holds.
            const std::vector<std::uint16_t> counters = file_counters(stem + ".h5");
            s.in_file = static_cast<long>(counters.size());
            long held = 0;
            long previous = -1;
            long base = 0;
            for (std::uint16_t c : counters) {
                long v = base + c;
                if (v <= previous) {
                    base += 65536;
                    v += 65536;
                }
                if (v > previous && v < s.sent)
                    ++held;
                previous = v;
            }
            s.lost = s.sent - held;
        } else {
            s.in_file = std::atol(last.c_str());
            s.lost = s.sent - s.in_file;
        }
        const std::string log = read_file(_dir + "/brisko.log").substr(log_before.size());
        const std::size_t drop = log.find("events dropped");
        if (drop != std::string::npos) {
            const std::size_t begin = log.rfind('\n', drop) + 1;
            s.where = log.substr(begin, log.find('\n', drop) - begin);
        }
        std::remove((stem + ".h5").c_str());
        return s;
    }

    // The simulator's datagrams into a plain recvmmsg loop: the rate
    // received, and the rate the simulator sent at.
    void plain_loop(long count, double& received_rate, double& sent_rate, long& received)
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int buffer = 8 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        const std::string host = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        Child board({BENCH_BOARD_SIM, "--address", "127.0.0.2", "--host", host, "--mode", "serial", "--count",
                     std::to_string(count)},
                    _dir + "/plain.log", _env);

        // It spins rather than sleeping in poll: on loopback the sender pays
        // for every wake-up of the receiver, and would send slower.
        constexpr unsigned batch = 32;
        static std::uint8_t buffers[batch][8192];
        mmsghdr headers[batch];
        iovec vectors[batch];
        received = 0;
        const Clock::time_point start = Clock::now();
        Clock::time_point first{};
        Clock::time_point last = start;
        while (received < count && since(last) < 1.0 && since(start) < 60.0) {
            for (unsigned i = 0; i < batch; ++i) {
                vectors[i] = iovec{buffers[i], sizeof buffers[i]};
                headers[i] = mmsghdr{};
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = ::recvmmsg(fd, headers, batch, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                continue;
            if (received == 0)
                first = Clock::now();
            received += n;
            last = Clock::now();
        }
        ::close(fd);
        wait_until([&] { return board.output().find("sent ") != std::string::npos; }, 10);
        long sent = 0;
        sent_line(board.output(), sent, sent_rate);
        const double seconds = std::chrono::duration<double>(last - first).count();
        received_rate = seconds > 0 ? received / seconds : 0.0;
    }

private:
    double _seconds;
    std::string _dir;
    int _host_port;
    int _board_port;
    int _soap_port;
    std::vector<std::string> _env;
    std::unique_ptr<Child> _program;
};

void print_step(const Step& s)
{
    std::printf("  %9.0f  %9.0f  %9ld  %9ld  %7ld   %s\n", s.asked, s.sent_rate, s.sent, s.in_file, s.lost,
                s.where.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    std::string folder;
    if (argc > 2) {
        folder = argv[2];
    } else {
        char pattern[] = "/tmp/bench-fenrow-XXXXXX";
        folder = mkdtemp(pattern);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::printf("one board, one \"gp7\" chip in serial mode (282-byte datagrams), %.1f s per step, files in %s\n\n",
                seconds, folder.c_str());

    Bench bench(seconds, folder);
    if (!bench.start_program())
        return 1;

    std::printf("  asked/s    sent/s     sent       in file    lost\n");
    std::vector<Step> steps;
    double good = 0;
    double bad = 0;
    int index = 0;
    // Doubling until events are lost or the simulator cannot send faster,
    // then halving the interval between the last rate without loss and the
    // first with.
    for (double rate = 25000; rate <= 3.2e6; rate *= 2) {
        const Step s = bench.step(rate, index++);
        print_step(s);
        steps.push_back(s);
        if (s.lost > 0) {
            bad = rate;
            break;
        }
        good = std::max(good, std::min(rate, s.sent_rate));
        if (s.sent_rate < 0.9 * rate)
            break;
    }
    for (int i = 0; i < 3 && bad > 0 && bad - good > 0.05 * good; ++i) {
        const double rate = (good + bad) / 2;
        const Step s = bench.step(rate, index++);
        print_step(s);
        if (s.lost > 0)
            bad = rate;
        else
            good = std::max(good, std::min(rate, s.sent_rate));
    }
    // The plug-in alone: no run file, the simulator at its full rate.
    const Step direct = bench.step(0, index++, false);
    bench.stop_program();

    double received_rate = 0;
    double sender_rate = 0;
    long received = 0;
    const long count = 1000000;
    bench.plain_loop(count, received_rate, sender_rate, received);

    std::printf("\nwithout a run file, at the simulator's full rate:   %9.0f events/s sent, %ld of %ld taken%s%s\n",
                direct.sent_rate, direct.in_file, direct.sent, direct.where.empty() ? "" : "; ",
                direct.where.c_str());
    std::printf("highest rate without loss (brisko, HDF5 run file):  %9.0f events/s\n", good);
    std::printf("plain recvmmsg loop on the same datagrams:          %9.0f datagrams/s (%ld of %ld, simulator sent "
                "%.0f/s)\n",
                received_rate, received, count, sender_rate);
    if (received_rate > 0)
        std::printf("brisko / plain loop: %.2f\n", good / received_rate);
    curl_global_cleanup();
    return 0;
}
