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
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include "common/LoopbackBoards.h"

namespace {

std::string read_file(const std::string& path)
{
    gchar* text = nullptr;
    gsize size = 0;
    if (!g_file_get_contents(path.c_str(), &text, &size, nullptr))
        return std::string();
    std::string out(text, size);
    g_free(text);
    return out;
}

template <class F>
bool wait_for(F cond, double seconds, double step = 0.05)
{
    const gint64 until = g_get_monotonic_time() + gint64(seconds * 1e6);
    while (!cond()) {
        if (g_get_monotonic_time() > until)
            return false;
        g_usleep(gulong(step * 1e6));
    }
    return true;
}

// The program's SOAP server, one operation at a time.
class Soap {
public:
    explicit Soap(int port) : url("http://127.0.0.1:" + std::to_string(port) + "/"), session(soup_session_new())
    {
        soup_session_set_timeout(session, 30);
    }
    ~Soap() { g_object_unref(session); }

    // The text of the reply's element `field`; empty when there is none or
    // no reply.
    std::string call(const std::string& body, const std::string& field = "")
    {
        const std::string envelope = "<soap:Envelope xmlns:soap='http://schemas.xmlsoap.org/soap/envelope/'>"
                                     "<soap:Body>" + body + "</soap:Body></soap:Envelope>";
        SoupMessage* msg = soup_message_new("POST", url.c_str());
        GBytes* request = g_bytes_new(envelope.data(), envelope.size());
        soup_message_set_request_body_from_bytes(msg, "text/xml", request);
        g_bytes_unref(request);
        GBytes* reply = soup_session_send_and_read(session, msg, nullptr, nullptr);
        g_object_unref(msg);
        if (!reply)
            return std::string();
        gsize size = 0;
        const auto* data = static_cast<const char*>(g_bytes_get_data(reply, &size));
        std::string out = field.empty() ? std::string(data, size) : select(data, int(size), field);
        g_bytes_unref(reply);
        return out;
    }

    std::string state(const std::string& object, const std::string& field)
    {
        return call("<getRunState><object>" + object + "</object></getRunState>", field);
    }
    void control(const std::string& command)
    {
        call("<runControl><runManager>main</runManager><command>" + command + "</command></runControl>");
    }

private:
    static std::string select(const char* data, int size, const std::string& field)
    {
        std::string out;
        xmlDocPtr doc = xmlReadMemory(data, size, "reply", nullptr, XML_PARSE_NONET);
        if (!doc)
            return out;
        xmlXPathContextPtr context = xmlXPathNewContext(doc);
        const std::string xpath = "//*[local-name()='" + field + "']";
        xmlXPathObjectPtr found = xmlXPathEvalExpression(BAD_CAST xpath.c_str(), context);
        if (found && found->nodesetval && found->nodesetval->nodeNr > 0) {
            xmlChar* text = xmlNodeGetContent(found->nodesetval->nodeTab[0]);
            out = reinterpret_cast<const char*>(text);
            xmlFree(text);
        }
        xmlXPathFreeObject(found);
        xmlXPathFreeContext(context);
        xmlFreeDoc(doc);
        return out;
    }

    std::string url;
    SoupSession* session;
};

// What the simulator says it sent, from its line "sent N ... (R/s)".
bool sent_line(const std::string& output, long& sent, double& rate)
{
    static GRegex* line = g_regex_new("sent ([0-9]+) .*\\(([0-9.]+)/s\\)", G_REGEX_OPTIMIZE, GRegexMatchFlags(0), nullptr);
    GMatchInfo* match = nullptr;
    const bool found = g_regex_match(line, output.c_str(), GRegexMatchFlags(0), &match);
    if (found) {
        gchar* n = g_match_info_fetch(match, 1);
        gchar* r = g_match_info_fetch(match, 2);
        sent = std::atol(n);
        rate = g_ascii_strtod(r, nullptr);
        g_free(n);
        g_free(r);
    }
    g_match_info_free(match);
    return found;
}

// One run: what the simulator was asked for and sent, and what the run
// file got.
struct Step {
    double asked = 0, sent_rate = 0;
    long sent = 0, written = 0;
    double gui_share = 0;   // CPU time of the program's GTK main thread over the run's time
    long lost() const { return sent - written; }
};

// What a plain receive loop took of the simulator's datagrams.
struct Plain {
    long count = 0, received = 0;
    double rate = 0, sent_rate = 0;   // per second: taken, and sent
};

class Bench {
public:
    Bench(double seconds, const std::string& dir, const std::string& sim, int threads)
        : seconds(seconds), dir(dir), sim(sim), threads(threads), marker(dir + "/windows"), soap_port(loopback::free_port(G_SOCKET_TYPE_STREAM)),
          soap(soap_port)
    {
        loopback::use_private_ports();
        const std::string home = dir + "/home";
        g_mkdir_with_parents(home.c_str(), 0700);
        g_setenv("HOME", home.c_str(), TRUE);
        g_setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
        g_setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), TRUE);
        g_setenv("BENCH_MONITOR_MARKER", marker.c_str(), TRUE);
        host = std::string("127.0.0.1:") + g_getenv("FENROW_HOST_PORT");
    }

    bool start(const std::string& brisko, const std::string& fenrow, const std::string& plugin)
    {
        const std::string config = dir + "/bench.xml";
        const std::string text =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Sorbek>\n<plugins>"
            "<plugin name=\"fenrow\" module=\"fenrow\"><lib>" + fenrow + "</lib><hook>create_Fenrow</hook></plugin>"
            "<plugin name=\"monitors\" module=\"monitor_host\"><lib>" + plugin + "</lib><hook>monitor_host</hook>"
            "</plugin></plugins>\n<modules><fenrow name=\"127.0.0.2\"><stream name=\"21\" address=\"127.0.0.2\">"
            "<nchips>1</nchips><chip_type>gp7</chip_type><ro_mode>serial</ro_mode></stream></fenrow></modules>\n"
            "<general><daq><soap_port>" + std::to_string(soap_port) + "</soap_port></daq></general>\n</Sorbek>\n";
        g_file_set_contents(config.c_str(), text.c_str(), -1, nullptr);
        program = std::make_unique<loopback::Process>(std::vector<std::string>{brisko, "--no-gui", config}, log());
        if (!wait_for([&] { return !soap.call("<listModules/>").empty(); }, 30)) {
            std::fprintf(stderr, "brisko does not answer; see %s\n", log().c_str());
            return false;
        }
        // A board that only answers knocks registers the stream.
        loopback::Process board({sim, "--address", "127.0.0.2"}, dir + "/board0.log");
        if (!wait_for([&] { return soap.call("<listModules/>").find(">21<") != std::string::npos; }, 30)) {
            std::fprintf(stderr, "the board was not registered; see %s\n", log().c_str());
            return false;
        }
        return true;
    }

    void stop()
    {
        if (program)
            program->stop(30);
    }

    // Opens or closes the stream's monitor window, and waits until the
    // program has.
    bool windows(bool open)
    {
        if (open)
            g_file_set_contents(marker.c_str(), "", 0, nullptr);
        else
            g_unlink(marker.c_str());
        const std::string line = std::string("monitor windows open: ") + (open ? "1" : "0");
        // The last line about windows is the state now.
        return wait_for(
            [&] {
                const std::string text = read_file(log());
                const size_t at = text.rfind("monitor windows open: ");
                return open ? at != std::string::npos && text.compare(at, line.size(), line) == 0
                            : at == std::string::npos || text.compare(at, line.size(), line) == 0;
            },
            10);
    }

    // One run with the board sending `seconds` worth of events at the rate.
    Step step(double rate, int index)
    {
        Step s;
        s.asked = rate;
        const long count = std::max<long>(20000, long(rate * seconds));
        const std::string output = dir + "/board.log";
        loopback::Process board({sim, "--address", "127.0.0.2", "--host", host, "--mode", "serial", "--on-start",
                                 "--count", std::to_string(count), "--rate", std::to_string(rate), "--threads",
                                 std::to_string(threads)},
                                output);
        wait_for([&] { return read_file(output).find("board on") != std::string::npos; }, 10);
        const std::string stem = dir + "/step" + std::to_string(index);
        soap.call("<setParameter><object>main</object><name>command</name><value>logData|file=" + stem +
                  ":max_size=0:compression=no</value></setParameter>");
        const double cpu0 = gui_thread_seconds();
        const gint64 t0 = g_get_monotonic_time();
        soap.control("Start");
        wait_for([&] { return sent_line(read_file(output), s.sent, s.sent_rate); }, seconds * 10 + 60);
        const long arrived = settled_count(s.sent);
        soap.control("Stop");
        wait_for([&] { return soap.state("main", "active") == "false"; }, 60);
        s.gui_share = (gui_thread_seconds() - cpu0) / ((g_get_monotonic_time() - t0) / 1e6);
        board.stop();
        s.written = std::min(std::atol(soap.state("main", "nWritten").c_str()), arrived);
        g_unlink((stem + ".h5").c_str());
        return s;
    }

    // The simulator's datagrams into a plain receive loop.
    Plain plain_loop(long count)
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
        const std::string to =
            "127.0.0.1:" + std::to_string(g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound)));
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
        wait_for([&] { return sent_line(read_file(output), sent, p.sent_rate); }, 10);
        const double span = (last - first) / 1e6;
        p.rate = span > 0 ? received / span : 0.0;
        g_object_unref(bound);
        g_object_unref(any);
        g_object_unref(lo);
        g_object_unref(socket);
        return p;
    }

private:
    std::string log() const { return dir + "/brisko.log"; }

    // CPU seconds the program's main thread (the GTK main loop, where the
    // windows draw) has used so far.
    double gui_thread_seconds() const
    {
        const int pid = program ? program->pid() : 0;
        const std::string stat = read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
        // The fields after the command's closing parenthesis; utime and
        // stime are the 12th and 13th of them.
        const size_t close = stat.rfind(')');
        if (!pid || close == std::string::npos)
            return 0;
        gchar** fields = g_strsplit(stat.c_str() + close + 2, " ", 0);
        double ticks = 0;
        if (g_strv_length(fields) > 12)
            ticks = g_ascii_strtod(fields[11], nullptr) + g_ascii_strtod(fields[12], nullptr);
        g_strfreev(fields);
        return ticks / double(sysconf(_SC_CLK_TCK));
    }

    // The stream's event count once it has reached `sent` or has not grown
    // for half a second: the events still on their way through the program.
    long settled_count(long sent)
    {
        long count = -1;
        gint64 changed = g_get_monotonic_time();
        const gint64 limit = changed + 120 * G_USEC_PER_SEC;
        for (;;) {
            const long now = std::atol(soap.state("21", "nTrigger").c_str());
            const gint64 t = g_get_monotonic_time();
            if (now != count) {
                count = now;
                changed = t;
            }
            if (count >= sent || t - changed > G_USEC_PER_SEC / 2 || t > limit)
                return count;
            g_usleep(G_USEC_PER_SEC / 10);
        }
    }

    double seconds;
    std::string dir;
    std::string sim;
    int threads;
    std::string marker;
    std::string host;
    int soap_port;
    Soap soap;
    std::unique_ptr<loopback::Process> program;
};

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

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 3);
    const int threads = argc > 4 ? std::atoi(argv[4]) : 4;
    if (threads != 1 && threads != 2 && threads != 4 && threads != 8) {
        std::fprintf(stderr, "sender threads: 1, 2, 4 or 8\n");
        return 2;
    }
    std::string dir;
    if (argc > 2) {
        dir = argv[2];
    } else {
        gchar* made = g_dir_make_tmp("bench-monitor-XXXXXX", nullptr);
        dir = made ? made : "/tmp";
        g_free(made);
    }
    if (!g_getenv("DISPLAY")) {
        std::fprintf(stderr, "bench_monitor_window needs an X server: run it under xvfb-run\n");
        return 2;
    }
    std::printf("one board, one \"gp7\" chip in serial mode (282-byte datagrams) from %d sender threads, %.1f s per "
                "step, files in %s\n\n",
                threads, seconds, dir.c_str());
    Bench bench(seconds, dir, BENCH_BOARD_SIM, threads);
    if (!bench.start(BENCH_BRISKO, BENCH_FENROW_PLUGIN, BENCH_MONITOR_HOST))
        return 1;

    int index = 0;
    auto measure = [&](double rate, Search& search, bool window) {
        if (!bench.windows(window)) {
            std::fprintf(stderr, "the monitor window did not %s\n", window ? "open" : "close");
            return false;
        }
        const Step s = bench.step(rate, index++);
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
    bench.windows(false);
    bench.stop();

    const Plain plain = bench.plain_loop(1000000);

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
