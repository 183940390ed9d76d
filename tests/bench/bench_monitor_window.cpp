// The board path's highest rate without loss, with and without a monitor
// window open for the stream, in one run of the program:
//
//   fenrow_board_sim --mode serial (one "gp7" chip: 128 values, 282-byte
//   datagrams) -> brisko with libfenrow -> HDF5 run file, the monitor queue
//   filling the stream's analysis, and, while the benchmark asks for it, the
//   stream's monitor window drawing it (opened by the benchmark's host
//   plug-in, as a module panel opens it)
//
// At each rate a run is taken without the window and one with it, each run
// started and stopped through the SOAP server; an event is lost when it was
// sent but not written to the run file. The search runs in rounds, and the
// medians of the rounds' highest rates without loss are printed beside the
// rate at which a plain receive loop takes the same datagrams from the same
// simulator. Each run also shows the share of its time that the program's
// GTK main thread, where the window draws, was on a CPU. Run it on an X
// server (xvfb-run).
//
// The simulator sends from several threads, each with a socket of its own,
// sharing the asked rate among them, so that it can send faster than the
// program takes; the plain loop is fed by as many threads, flat out.
//
//     bench_monitor_window [seconds per step] [folder] [rounds] [sender threads]
//
// With "windows", the program runs with its main window, data logging,
// monitoring and the stream's monitor window (opened with the module
// panel's toggle) and the figures are what an operator sees of the window:
// the longest stall of the GTK main loop, measured by a 20 ms timer in it
// that records its own lateness, with the count of stalls above 50 ms, beside
// the longest lateness of a 20 ms sleep in a thread of the benchmark itself
// (what the machine's load does to any thread of ordinary priority), in a
// run at the rate on a quiet machine, one at the rate while four other
// processes keep four processors busy, and a long run, busy too; and for
// each run whether the run file holds every event sent once and in order
// (its event counters checked).
//
//     bench_monitor_window windows [folder] [seconds=20] [rate=400000]
//                          [long seconds=60] [long rate=300000] [sender threads=4]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <hdf5.h>

#include "bench/BenchProgram.h"
#include "common/LoopbackBoards.h"

namespace {

using bench::read_file;
using bench::Step;
using bench::wait_for;

// What a plain receive loop took of the simulator's datagrams.
struct Plain {
    long count = 0, received = 0;
    double rate = 0, sent_rate = 0;   // per second: taken, and sent
};

// The simulator's datagrams into a plain receive loop.
Plain plain_loop(const std::string& dir, const std::string& sim, int threads, long count)
{
    Plain p;
    p.count = count;
    long& received = p.received;
    GSocket* socket = g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_DATAGRAM, G_SOCKET_PROTOCOL_UDP, nullptr);
    g_socket_set_option(socket, SOL_SOCKET, SO_RCVBUF, 8 << 20, nullptr);
    GInetAddress* lo = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* any = g_inet_socket_address_new(lo, 0);
    g_socket_bind(socket, any, FALSE, nullptr);
    GSocketAddress* bound = g_socket_get_local_address(socket, nullptr);
    const std::string to = "127.0.0.1:" + std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound)));
    g_socket_set_blocking(socket, FALSE);
    const std::string output = dir + "/plain.log";
    loopback::Process board({sim, "--address", "127.0.0.2", "--host", to, "--mode", "serial", "--count",
                             std::to_string(count), "--threads", std::to_string(threads)},
                            output);
    // It spins rather than waiting in poll: on loopback the sender pays
    // for every wake-up of the receiver, and would send slower.
    constexpr int batch = 32;
    static guint8 buffers[batch][8192];
    GInputVector vectors[batch];
    GInputMessage messages[batch];
    received = 0;
    const gint64 start = g_get_monotonic_time();
    gint64 first = 0;
    gint64 last = start;
    while (received < count && g_get_monotonic_time() - last < 1000000 && g_get_monotonic_time() - start < 60000000) {
        for (int i = 0; i < batch; ++i) {
            vectors[i] = GInputVector{buffers[i], sizeof buffers[i]};
            messages[i] = GInputMessage{nullptr, &vectors[i], 1, 0, 0, nullptr, nullptr};
        }
        const gint n = g_socket_receive_messages(socket, messages, batch, 0, nullptr, nullptr);
        if (n <= 0)
            continue;
        if (received == 0)
            first = g_get_monotonic_time();
        received += n;
        last = g_get_monotonic_time();
    }
    long sent = 0;
    wait_for([&] { return bench::sent_line(read_file(output), sent, p.sent_rate); }, 10);
    const double span = (last - first) / 1e6;
    p.rate = span > 0 ? received / span : 0.0;
    g_object_unref(bound);
    g_object_unref(any);
    g_object_unref(lo);
    g_object_unref(socket);
    return p;
}

// What the run file holds of stream 21's event counters. Sender thread t of
// n sends the counters t, t + n, ... (modulo 65536), each thread from its
// own socket: the threads' events interleave as they arrive, and each
// thread's must come once and in order.
struct Counters {
    long rows = 0;
    long missing = 0;      // sent, not in the file
    long duplicated = 0;   // a counter again at once
    long reordered = 0;    // a counter before the one it follows
    bool readable = false;
    bool sound(long sent) const { return readable && rows == sent && !missing && !duplicated && !reordered; }
};

Counters check_counters(const std::string& path, int threads, long sent)
{
    Counters out;
    H5E_BEGIN_TRY
    {
        const hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
        const hid_t set = file >= 0 ? H5Dopen2(file, "/modules/21/data/fenrow", H5P_DEFAULT) : -1;
        if (set >= 0) {
            // Only the counter field is read of each row.
            const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(guint16));
            H5Tinsert(type, "evtcnt", 0, H5T_NATIVE_UINT16);
            const hid_t space = H5Dget_space(set);
            hsize_t n = 0;
            H5Sget_simple_extent_dims(space, &n, nullptr);
            std::vector<long> previous(static_cast<size_t>(threads), -1);
            std::vector<guint16> slice(1 << 20);
            out.readable = true;
            for (hsize_t at = 0; at < n && out.readable;) {
                const hsize_t count[1] = {std::min<hsize_t>(slice.size(), n - at)};
                const hsize_t start[1] = {at};
                H5Sselect_hyperslab(space, H5S_SELECT_SET, start, nullptr, count, nullptr);
                const hid_t memory = H5Screate_simple(1, count, nullptr);
                out.readable = H5Dread(set, type, memory, space, H5P_DEFAULT, slice.data()) >= 0;
                H5Sclose(memory);
                for (hsize_t i = 0; out.readable && i < count[0]; ++i) {
                    const long c = slice[i];
                    const auto t = static_cast<size_t>(c % threads);
                    if (previous[t] >= 0) {
                        // How far on the thread's counters went, in strides.
                        const long step = ((c - previous[t] + 65536) % 65536) / threads;
                        if (step == 0)
                            ++out.duplicated;
                        else if (step > 65536 / threads / 2)
                            ++out.reordered;
                    }
                    previous[t] = c;
                }
                at += count[0];
            }
            out.rows = static_cast<long>(n);
            out.missing = std::max(0L, sent - (out.rows - out.duplicated));
            H5Sclose(space);
            H5Tclose(type);
            H5Dclose(set);
        }
        if (file >= 0)
            H5Fclose(file);
    }
    H5E_END_TRY;
    return out;
}

void print_step(const char* what, const Step& s)
{
    std::printf("  %-9s %9.0f  %9.0f  %9ld  %9ld  %7ld  %5.1f\n", what, s.asked, s.sent_rate, s.sent, s.written,
                s.lost(), 100 * s.gui_share);
    std::fflush(stdout);
}

// The search of one configuration: the highest rate without loss so far,
// the lowest with, and whether the simulator could not send faster.
struct Search {
    double good = 0;
    double bad = 0;
    bool bounded = false;
    bool done() const { return bad > 0 || bounded; }
    void take(const Step& s)
    {
        if (s.lost() > 0) {
            bad = bad > 0 ? std::min(bad, s.asked) : s.asked;
            return;
        }
        good = std::max(good, std::min(s.asked, s.sent_rate));
        if (s.sent_rate < 0.9 * s.asked)
            bounded = true;
    }
};

// Four processes that keep four processors busy, as other work on the
// machine would.
class Spinners {
public:
    Spinners(const std::string& dir, int n)
    {
        for (int i = 0; i < n; ++i)
            busy.push_back(std::make_unique<loopback::Process>(std::vector<std::string>{"/proc/self/exe", "spin"},
                                                               dir + "/spin" + std::to_string(i) + ".log"));
    }

private:
    std::vector<std::unique_ptr<loopback::Process>> busy;
};

// What the machine does to any thread of ordinary priority: the longest
// lateness of a 20 ms sleep in a thread of this process, beside the program's
// GTK main loop, with the same period, measured over the same run.
class ReferenceStall {
public:
    ReferenceStall()
        : thread([this] {
              gint64 last = g_get_monotonic_time();
              while (!done) {
                  g_usleep(20000);
                  const gint64 now = g_get_monotonic_time();
                  longest = std::max<gint64>(longest, now - last - 20000);
                  last = now;
              }
          })
    {
    }
    ~ReferenceStall() { stop(); }
    // ms
    long stop()
    {
        done = true;
        if (thread.joinable())
            thread.join();
        return long(longest / 1000);
    }

private:
    std::atomic<bool> done{false};
    std::atomic<gint64> longest{0};
    std::thread thread;
};

// The search of the highest rate without loss, with and without the
// window (the program without its main window).
int search(int argc, char** argv, const std::string& dir, int threads)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 3);
    std::printf("one board, one \"gp7\" chip in serial mode (282-byte datagrams) from %d sender threads, %.1f s per "
                "step, files in %s\n\n",
                threads, seconds, dir.c_str());
    bench::Program program(dir, BENCH_BOARD_SIM, threads);
    if (!program.start(BENCH_BRISKO, BENCH_FENROW_PLUGIN, BENCH_MONITOR_HOST, false))
        return 1;

    int index = 0;
    auto measure = [&](double rate, Search& search, bool window) {
        if (!program.windows(window)) {
            std::fprintf(stderr, "the monitor window did not %s\n", window ? "open" : "close");
            return false;
        }
        const std::string stem = dir + "/step" + std::to_string(index++);
        const Step s = program.run(rate, std::max<long>(20000, long(rate * seconds)), stem);
        g_unlink((stem + ".h5").c_str());
        print_step(window ? "open" : "none", s);
        search.take(s);
        return true;
    };
    // Each round: at each rate a run without the window and one with it,
    // until both lose events or the simulator cannot send faster; then
    // halving the interval between the last rate without loss and the
    // first with, for each. Which of the two goes first changes every
    // time, so that what a run leaves behind (its file still being written
    // out) weighs on both alike. The rounds' medians are the figures, so
    // that a moment of load elsewhere on the machine does not make them.
    std::vector<Search> without(rounds);
    std::vector<Search> with(rounds);
    bool open_first = false;
    for (int r = 0; r < rounds; ++r) {
        std::printf("round %d of %d\n  window      asked/s    sent/s     sent       written    lost   GUI %%\n", r + 1,
                    rounds);
        // A pair of runs, each at its own rate (none when 0).
        auto pair = [&](double rate_without, double rate_with) {
            open_first = !open_first;
            for (bool window : {open_first, !open_first}) {
                const double rate = window ? rate_with : rate_without;
                if (rate > 0 && !measure(rate, window ? with[r] : without[r], window))
                    return false;
            }
            return true;
        };
        for (double rate = 25000; rate <= 3.2e6 && !(without[r].done() && with[r].done()); rate *= 2)
            if (!pair(without[r].done() ? 0 : rate, with[r].done() ? 0 : rate))
                return 1;
        auto next = [](const Search& s) {
            return s.bad > 0 && s.bad - s.good > 0.05 * s.good ? (s.good + s.bad) / 2 : 0.0;
        };
        for (int i = 0; i < 3; ++i)
            if (!pair(next(without[r]), next(with[r])))
                return 1;
    }
    program.windows(false);
    program.stop();

    const Plain plain = plain_loop(dir, BENCH_BOARD_SIM, threads, 1000000);

    auto report = [](const char* what, std::vector<Search>& searches) {
        std::sort(searches.begin(), searches.end(), [](const Search& x, const Search& y) { return x.good < y.good; });
        const Search& median = searches[searches.size() / 2];
        std::printf("highest rate without loss, %-28s %9.0f events/s (median of", what, median.good);
        for (const Search& s : searches)
            std::printf(" %.0f", s.good);
        std::printf(")%s\n", median.bounded ? ", bounded by the simulator's sending rate" : "");
        return median.good;
    };
    std::printf("\n");
    const double none = report("no monitor window:", without);
    const double open = report("the stream's window open:", with);
    std::printf("plain receive loop on the same datagrams:            %9.0f datagrams/s (%ld of %ld, simulator "
                "sent %.0f/s)%s\n",
                plain.rate, plain.received, plain.count, plain.sent_rate,
                plain.received >= plain.count ? ", bounded by the simulator's sending rate" : "");
    if (none > 0)
        std::printf("with the window / without: %.3f (at least 0.95 wanted)\n", open / none);
    if (plain.rate > 0)
        std::printf("without the window / plain loop: %.2f\n", none / plain.rate);
    return 0;
}

// Runs with the program's main window, logging, monitoring and the stream's
// monitor window open (opened with its panel's toggle): the longest stall
// of the GTK main loop, quiet and with four busy processes, and the run
// files' event counters.
int windows(int argc, char** argv, const std::string& dir, int threads)
{
    const double seconds = argc > 3 ? std::atof(argv[3]) : 20;
    const double rate = argc > 4 ? std::atof(argv[4]) : 400000;
    const double long_seconds = argc > 5 ? std::atof(argv[5]) : 60;
    const double long_rate = argc > 6 ? std::atof(argv[6]) : 300000;
    std::printf("one board, one \"gp7\" chip in serial mode from %d sender threads; the main window, logging, "
                "monitoring and the stream's monitor window; files in %s\n",
                threads, dir.c_str());
    std::printf("%ld processors, load average at start: %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                read_file("/proc/loadavg").c_str());
    bench::Program program(dir, BENCH_BOARD_SIM, threads);
    if (!program.start(BENCH_BRISKO, BENCH_FENROW_PLUGIN, BENCH_MONITOR_HOST, true))
        return 1;
    // The panels come a moment after the stream registers.
    std::string opened;
    if (!wait_for([&] { return (opened = program.command("monitor 1")).find("monitor windows open: 1") != std::string::npos; }, 30, 0.5)) {
        std::fprintf(stderr, "the stream's monitor window did not open: %s\n", opened.c_str());
        return 1;
    }
    std::printf("\n  %-26s %9s %9s %9s %9s %7s %7s %9s  %s\n", "run", "asked/s", "sent/s", "sent", "in file", "GUI %",
                "stall", "reference", "what the GUI thread did in the longest; stalls above 50 ms (ms=count); counters");
    int index = 0;
    bool sound = true;
    auto measure = [&](const char* what, double r, double secs, int busy) {
        const Spinners spinners(dir, busy);
        program.command("stalls");
        const std::string stem = dir + "/run" + std::to_string(index++);
        ReferenceStall reference;
        const Step s = program.run(r, long(r * secs), stem);
        const long machine = reference.stop();
        const std::string report = program.command("stalls");
        const Counters c = check_counters(stem + ".h5", threads, s.sent);
        g_unlink((stem + ".h5").c_str());
        long longest = -1;
        std::string bins;
        const size_t at = report.find("stalls longest ");
        if (at != std::string::npos) {
            longest = std::atol(report.c_str() + at + 15);
            const size_t open = report.find('(', at);
            const size_t colon = report.find("50 ms:", at);
            bins = report.substr(open, report.find(')', open) + 1 - open) + "," +
                   report.substr(colon + 6, report.find('\n', colon) - colon - 6);
        }
        std::printf("  %-26s %9.0f %9.0f %9ld %9ld %7.1f %4ld ms %6ld ms %s; %s (missing %ld, duplicated %ld, "
                    "reordered %ld)\n",
                    what, s.asked, s.sent_rate, s.sent, c.rows, 100 * s.gui_share, longest, machine, bins.c_str(),
                    c.sound(s.sent) ? "sound" : "NOT SOUND", c.missing, c.duplicated, c.reordered);
        std::fflush(stdout);
        sound = sound && c.sound(s.sent);
    };
    measure("quiet", rate, seconds, 0);
    measure("four busy processes", rate, seconds, 4);
    if (long_seconds > 0)
        measure("long, four busy processes", long_rate, long_seconds, 4);
    program.command("monitor 0");
    program.stop();
    return sound ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "spin")
        for (volatile unsigned long n = 0;; n = n + 1) {
        }
    const bool windowed = argc > 1 && std::string(argv[1]) == "windows";
    const int threads = windowed ? (argc > 7 ? std::atoi(argv[7]) : 4) : (argc > 4 ? std::atoi(argv[4]) : 4);
    if (threads != 1 && threads != 2 && threads != 4 && threads != 8) {
        std::fprintf(stderr, "sender threads: 1, 2, 4 or 8\n");
        return 2;
    }
    const std::string dir = bench::folder(argc > 2 ? argv[2] : nullptr, "bench_monitor_window");
    if (dir.empty())
        return 2;
    return windowed ? windows(argc, argv, dir, threads) : search(argc, argv, dir, threads);
}
