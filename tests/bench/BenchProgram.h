// The program as the window benchmarks run it: brisko with the board plug-in
// and the benchmarks' host plug-in (monitor_host.cpp) on a configuration of
// one board with stream 21 on loopback, driven through its SOAP server, the
// host plug-in's commands and the board simulator.
//
// Header-only, for the benchmark programs of this folder. BENCH_BRISKO_WRAPPER
// names a tool, with its options, to run the program under.
#ifndef BRISKO_TESTS_BENCH_BENCH_PROGRAM_H
#define BRISKO_TESTS_BENCH_BENCH_PROGRAM_H

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>

#include "common/LoopbackBoards.h"

namespace bench {

// The folder given, else a new one under the temporary folder; empty, with
// the reason on standard error, without an X server to run the window on.
inline std::string folder(const char* given, const char* program)
{
    if (!g_getenv("DISPLAY")) {
        std::fprintf(stderr, "%s needs an X server: run it under xvfb-run\n", program);
        return std::string();
    }
    if (given && given[0])
        return given;
    gchar* made = g_dir_make_tmp((std::string(program) + "-XXXXXX").c_str(), nullptr);
    const std::string dir = made ? made : "/tmp";
    g_free(made);
    return dir;
}

inline std::string read_file(const std::string& path)
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
    Soap(const Soap&) = delete;
    Soap& operator=(const Soap&) = delete;

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
inline bool sent_line(const std::string& output, long& sent, double& rate)
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

// Sizes of a process, kB, from /proc/<pid>/status.
struct Sizes {
    long vm = 0;    // VmSize: the program size the main window shows
    long rss = 0;   // VmRSS
};

inline Sizes sizes_of(int pid)
{
    Sizes s;
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/status");
    for (const auto& [key, field] : {std::pair<const char*, long*>{"VmSize:", &s.vm}, {"VmRSS:", &s.rss}}) {
        const size_t at = text.find(key);
        if (at != std::string::npos)
            *field = std::atol(text.c_str() + at + std::char_traits<char>::length(key));
    }
    return s;
}

class Program {
public:
    Program(const std::string& dir, const std::string& sim, int threads)
        : dir(dir), sim(sim), threads(threads), marker(dir + "/windows"), commands(dir + "/commands"),
          soap_port(loopback::free_port(G_SOCKET_TYPE_STREAM)), soap(soap_port)
    {
        loopback::use_private_ports();
        const std::string home = dir + "/home";
        g_mkdir_with_parents(home.c_str(), 0700);
        g_setenv("HOME", home.c_str(), TRUE);
        g_setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
        g_setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), TRUE);
        g_setenv("BENCH_MONITOR_MARKER", marker.c_str(), TRUE);
        g_setenv("BENCH_DRIVER_COMMANDS", commands.c_str(), TRUE);
        g_unlink(commands.c_str());
        host = std::string("127.0.0.1:") + g_getenv("FENROW_HOST_PORT");
    }

    const std::string& folder() const { return dir; }
    std::string config() const { return dir + "/bench.xml"; }
    std::string log() const { return dir + "/brisko.log"; }
    int pid() const { return program ? program->pid() : 0; }
    Soap& server() { return soap; }

    // With the main window (gui) or without; false, with the reason on
    // standard error, when the program does not come up with the stream.
    bool start(const std::string& brisko, const std::string& fenrow, const std::string& plugin, bool with_window)
    {
        const std::string text =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Sorbek>\n<plugins>"
            "<plugin name=\"fenrow\" module=\"fenrow\"><lib>" + fenrow + "</lib><hook>create_Fenrow</hook></plugin>"
            "<plugin name=\"monitors\" module=\"monitor_host\"><lib>" + plugin + "</lib><hook>monitor_host</hook>"
            "</plugin></plugins>\n<modules><fenrow name=\"127.0.0.2\"><stream name=\"21\" address=\"127.0.0.2\">"
            "<nchips>1</nchips><chip_type>gp7</chip_type><ro_mode>serial</ro_mode></stream></fenrow></modules>\n"
            "<general><daq><soap_port>" + std::to_string(soap_port) + "</soap_port></daq></general>\n</Sorbek>\n";
        g_file_set_contents(config().c_str(), text.c_str(), -1, nullptr);
        gui = with_window;
        std::vector<std::string> args{brisko, config()};
        if (!gui)
            args.insert(args.begin() + 1, "--no-gui");
        // A tool to run the program under (heaptrack, valgrind ...), with
        // its options.
        if (const char* wrapper = g_getenv("BENCH_BRISKO_WRAPPER")) {
            gchar** words = g_strsplit(wrapper, " ", 0);
            std::vector<std::string> before;
            for (gchar** w = words; *w; ++w)
                if (**w)
                    before.emplace_back(*w);
            g_strfreev(words);
            args.insert(args.begin(), before.begin(), before.end());
        }
        program = std::make_unique<loopback::Process>(args, log());
        if (!wait_for([&] { return !soap.call("<listModules/>").empty(); }, 30)) {
            std::fprintf(stderr, "brisko does not answer; see %s\n", log().c_str());
            return false;
        }
        return register_board();
    }

    // A board that only answers knocks registers the stream (again after a
    // reload, which makes a new board manager).
    bool register_board()
    {
        if (has_stream())
            return true;
        loopback::Process board({sim, "--address", "127.0.0.2"}, dir + "/board0.log");
        if (!wait_for([&] { return has_stream(); }, 30)) {
            std::fprintf(stderr, "the board was not registered; see %s\n", log().c_str());
            return false;
        }
        return true;
    }

    // With the window, through its Quit (Ctrl-C only says so there).
    void stop()
    {
        if (program && gui)
            command("quit", 10);
        if (program)
            program->stop(60);
        program.reset();
    }

    // Opens or closes the stream's monitor window without the main window,
    // and waits until the program has.
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

    // A command of the host plug-in (monitor_host.cpp), done on the GTK
    // main thread; what it printed, empty when it was not done in time.
    std::string command(const std::string& what, double seconds = 60)
    {
        const size_t from = read_file(log()).size();
        const std::string number = std::to_string(++sent_commands);
        const std::string text = number + " " + what + "\n";
        g_file_set_contents(commands.c_str(), text.c_str(), -1, nullptr);
        const std::string done = "done " + number + "\n";
        std::string out;
        if (!wait_for(
                [&] {
                    const std::string log_text = read_file(log());
                    const size_t at = log_text.find(done, from);
                    if (at == std::string::npos)
                        return false;
                    out = log_text.substr(from, at - from);
                    return true;
                },
                seconds))
            std::fprintf(stderr, "the program did not do \"%s\"\n", what.c_str());
        return out;
    }

    // One run of `count` events at the rate (per second), into the run
    // file stem + ".h5", which is left for the caller.
    Step run(double rate, long count, const std::string& stem)
    {
        Step s;
        s.asked = rate;
        const std::string output = dir + "/board.log";
        // Detector-like values; sent at real-time priority, as a board sends
        // whatever the host's load.
        loopback::Process board({sim, "--address", "127.0.0.2", "--host", host, "--mode", "serial", "--detector",
                                 "--realtime", "--on-start", "--count", std::to_string(count), "--rate",
                                 std::to_string(rate), "--threads", std::to_string(threads)},
                                output);
        wait_for([&] { return read_file(output).find("board on") != std::string::npos; }, 10);
        soap.call("<setParameter><object>main</object><name>command</name><value>logData|file=" + stem +
                  ":max_size=0:compression=no</value></setParameter>");
        const double cpu0 = gui_thread_seconds();
        const gint64 t0 = g_get_monotonic_time();
        soap.control("Start");
        wait_for([&] { return sent_line(read_file(output), s.sent, s.sent_rate); }, count / std::max(rate, 1.0) * 10 + 60);
        const long arrived = settled_count(s.sent);
        soap.control("Stop");
        wait_for([&] { return soap.state("main", "active") == "false"; }, 60);
        s.gui_share = (gui_thread_seconds() - cpu0) / ((g_get_monotonic_time() - t0) / 1e6);
        board.stop();
        s.written = std::min(std::atol(soap.state("main", "nWritten").c_str()), arrived);
        return s;
    }

    // CPU seconds the program's main thread (the GTK main loop, where the
    // windows draw) has used so far.
    double gui_thread_seconds() const
    {
        const int id = pid();
        const std::string stat = read_file("/proc/" + std::to_string(id) + "/task/" + std::to_string(id) + "/stat");
        // The fields after the command's closing parenthesis; utime and
        // stime are the 12th and 13th of them.
        const size_t close = stat.rfind(')');
        if (!id || close == std::string::npos)
            return 0;
        gchar** fields = g_strsplit(stat.c_str() + close + 2, " ", 0);
        double ticks = 0;
        if (g_strv_length(fields) > 12)
            ticks = g_ascii_strtod(fields[11], nullptr) + g_ascii_strtod(fields[12], nullptr);
        g_strfreev(fields);
        return ticks / double(sysconf(_SC_CLK_TCK));
    }

private:
    bool has_stream() { return soap.call("<listModules/>").find(">21<") != std::string::npos; }

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

    std::string dir;
    std::string sim;
    int threads;
    std::string marker;
    std::string commands;
    std::string host;
    int soap_port;
    Soap soap;
    std::unique_ptr<loopback::Process> program;
    bool gui = false;
    long sent_commands = 0;
};

} // namespace bench

#endif
