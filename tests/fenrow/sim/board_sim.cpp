// Command-line board simulator: one simulated readout board on a loopback
// address that answers knocks and commands and, when asked, sends data
// packets to the host that knocked (or to --host). With --on-start a stream
// sends only between the host's start and stop commands for it, as a board
// does (a stop is carried out before it is acknowledged); --record writes
// every datagram the board receives to a file.
//
//   fenrow_board_sim --address 127.0.0.2 --mode serial --chips 4 --rate 1000 --count 10000
//   fenrow_board_sim --streams 1,3 --mode serial --on-start --count 10000 --record board.txt
//   fenrow_board_sim --mode serial --count 2000000 --threads 4        (full rate)
//   fenrow_board_sim --mode serial --detector --rate 300000 --threads 4 (pedestals with noise)
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>

#include "BoardSim.h"
#include "BoardSimSender.h"

namespace {

std::atomic<bool> interrupted{false};

void on_signal(int)
{
    interrupted = true;
}

using Clock = std::chrono::steady_clock;

// One stream's data: on between the host's start and stop commands (from
// the beginning without --on-start), with its own event counters.
struct StreamState {
    fenrow_sim::DataSpec spec;
    std::unique_ptr<fenrow_sim::DataSender> sender;
    bool on = false;
    bool reported = false;
};

// Every datagram as a line of hexadecimal words (network order as read).
void record(std::FILE* file, const fenrow_sim::Datagram& d)
{
    for (std::size_t i = 0; i + 1 < d.bytes.size(); i += 2)
        std::fprintf(file, "%s%02x%02x", i ? " " : "", d.bytes[i], d.bytes[i + 1]);
    std::fprintf(file, "\n");
    std::fflush(file);
}

bool parse_streams(const std::string& text, std::vector<int>& out)
{
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = text.find(',', pos);
        const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const int s = std::atoi(item.c_str());
        if (s < 1 || s > MAX_STREAMS)
            return false;
        out.push_back(s);
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return !out.empty();
}

} // namespace

int main(int argc, char** argv)
{
    gchar* address = nullptr;
    gchar* host = nullptr;
    gchar* mode = nullptr;
    gchar* firmware = nullptr;
    gchar* streams_text = nullptr;
    gchar* record_file = nullptr;
    gboolean on_start = FALSE;
    gint port = 0;
    gint stream = 1;
    gint chips = 1;
    gint channels = 128;
    gint hits = 1;
    gint nadj = 2;
    gint64 count = 0;
    gdouble rate = 0.0;
    gdouble duration = 0.0;
    gdouble wait_host = 30.0;
    gint threads = 0;
    gint ack_error = 0;
    gdouble ack_delay = 0.0;
    gboolean no_ack = FALSE;
    gboolean short_reply = FALSE;
    gboolean detector = FALSE;
    gboolean realtime = FALSE;

    GOptionEntry entries[] = {
        {"address", 'a', 0, G_OPTION_ARG_STRING, &address, "Address to bind (default 127.0.0.2)", "IP"},
        {"port", 'p', 0, G_OPTION_ARG_INT, &port, "Board port (default FENROW_BOARD_PORT or 10000)", "N"},
        {"host", 'H', 0, G_OPTION_ARG_STRING, &host, "Send data to IP:PORT instead of the knocking host", "IP:PORT"},
        {"firmware", 'f', 0, G_OPTION_ARG_STRING, &firmware, "Firmware word of the knock reply", "WORD"},
        {"short-reply", 0, 0, G_OPTION_ARG_NONE, &short_reply, "Answer knocks with the four-word reply", nullptr},
        {"mode", 'm', 0, G_OPTION_ARG_STRING, &mode, "Send data: serial, sparse, adjacent or scope", "MODE"},
        {"stream", 's', 0, G_OPTION_ARG_INT, &stream, "Stream number of the data (1-8)", "N"},
        {"streams", 0, 0, G_OPTION_ARG_STRING, &streams_text, "Several streams, each with --count packets", "N,N..."},
        {"on-start", 0, 0, G_OPTION_ARG_NONE, &on_start, "Send a stream's data only after the host starts it", nullptr},
        {"realtime", 0, 0, G_OPTION_ARG_NONE, &realtime,
         "Send at the lowest real-time priority where allowed, so that a busy machine holds the board back less",
         nullptr},
        {"record", 0, 0, G_OPTION_ARG_FILENAME, &record_file, "Write every datagram received to the file", "FILE"},
        {"chips", 'c', 0, G_OPTION_ARG_INT, &chips, "Chips of the stream", "N"},
        {"channels", 0, 0, G_OPTION_ARG_INT, &channels, "Channels per chip", "N"},
        {"hits", 0, 0, G_OPTION_ARG_INT, &hits, "Sparse mode: hits per packet", "N"},
        {"nadj", 0, 0, G_OPTION_ARG_INT, &nadj, "Adjacent mode: adjacent channels", "N"},
        {"detector", 0, 0, G_OPTION_ARG_NONE, &detector,
         "Detector-like values: each channel a pedestal near 500 with Gaussian noise of 3 counts", nullptr},
        {"count", 'n', 0, G_OPTION_ARG_INT64, &count, "Data packets to send per stream (0: until --duration or a signal)", "N"},
        {"rate", 'r', 0, G_OPTION_ARG_DOUBLE, &rate, "Packets per second and stream (0: as fast as possible)", "HZ"},
        {"threads", 't', 0, G_OPTION_ARG_INT, &threads,
         "Sender threads per stream, each with a socket of its own: 1, 2, 4 or 8 (default 4 at full rate, else 1)", "N"},
        {"duration", 'd', 0, G_OPTION_ARG_DOUBLE, &duration, "Seconds to run (0: until done or a signal)", "S"},
        {"wait-host", 0, 0, G_OPTION_ARG_DOUBLE, &wait_host, "Seconds to wait for a knock before sending data", "S"},
        {"ack-error", 0, 0, G_OPTION_ARG_INT, &ack_error, "Error byte of every acknowledgement", "N"},
        {"ack-delay", 0, 0, G_OPTION_ARG_DOUBLE, &ack_delay, "Seconds before each acknowledgement", "S"},
        {"no-ack", 0, 0, G_OPTION_ARG_NONE, &no_ack, "Never acknowledge commands", nullptr},
        {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};

    GOptionContext* context = g_option_context_new("- simulated readout board");
    g_option_context_add_main_entries(context, entries, nullptr);
    GError* error = nullptr;
    if (!g_option_context_parse(context, &argc, &argv, &error)) {
        std::fprintf(stderr, "%s\n", error->message);
        g_error_free(error);
        g_option_context_free(context);
        return 2;
    }
    g_option_context_free(context);

    fenrow_sim::BoardSim::Options options;
    if (address)
        options.address = address;
    options.port = port;
    options.short_reply = short_reply;
    if (firmware)
        options.firmware = static_cast<std::uint32_t>(std::strtoul(firmware, nullptr, 0));
    if (host) {
        const std::string text = host;
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            std::fprintf(stderr, "--host wants IP:PORT\n");
            return 2;
        }
        options.host_ip = text.substr(0, colon);
        options.host_port = std::atoi(text.c_str() + colon + 1);
        if (options.host_port <= 0 || options.host_port > 65535) {
            std::fprintf(stderr, "--host wants IP:PORT\n");
            return 2;
        }
    }
    int ro_mode = 0;
    if (mode) {
        ro_mode = ro_mode_from_name(mode);
        if (ro_mode == 10) {
            std::fprintf(stderr, "unknown readout mode %s\n", mode);
            return 2;
        }
    }
    if (threads != 0 && !fenrow_sim::DataSender::valid_threads(threads)) {
        std::fprintf(stderr, "--threads wants 1, 2, 4 or 8\n");
        return 2;
    }
    std::vector<int> stream_numbers;
    if (streams_text ? !parse_streams(streams_text, stream_numbers) : (stream < 1 || stream > MAX_STREAMS)) {
        std::fprintf(stderr, "streams are numbered 1 to %d\n", MAX_STREAMS);
        return 2;
    }
    if (!streams_text)
        stream_numbers.push_back(stream);
    std::FILE* recording = nullptr;
    if (record_file) {
        recording = std::fopen(record_file, "w");
        if (!recording) {
            std::fprintf(stderr, "cannot write %s\n", record_file);
            return 2;
        }
    }
    g_free(address);
    g_free(host);
    g_free(mode);
    g_free(firmware);
    g_free(streams_text);
    g_free(record_file);

    fenrow_sim::BoardSim sim(options);
    fenrow_sim::AckRule rule;
    rule.answer = !no_ack;
    rule.error = ack_error;
    rule.delay = ack_delay;
    sim.set_ack(0, rule);
    if (!sim.start()) {
        std::fprintf(stderr, "board_sim: %s\n", sim.error().c_str());
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::printf("board on %s:%d\n", sim.address().c_str(), sim.port());
    std::fflush(stdout);

    const auto start = Clock::now();
    const auto elapsed = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    const auto done = [&] { return interrupted.load() || (duration > 0 && elapsed() >= duration); };

    std::size_t seen = 0;
    // The streams, once the host is known; their start and stop commands
    // are carried out on the board's thread as they come, a stop before
    // its acknowledgement goes, so that no packet of a stream follows the
    // acknowledgement of its stop.
    std::mutex states_mutex;
    std::vector<StreamState> states;
    // Each stream's last command, also from before its state was made
    // (the first knock and the host's first commands may come together).
    std::map<int, bool> started;
    sim.set_start_stop_hook([&](int number, bool start) {
        if (!on_start)
            return;
        std::lock_guard<std::mutex> lock(states_mutex);
        started[number] = start;
        for (StreamState& st : states) {
            if (st.spec.stream != number)
                continue;
            st.on = start;
            if (!start && st.sender->running()) {
                st.sender->stop();
                std::printf("stream %d stopped: %ld packets sent\n", number, st.sender->sent());
                std::fflush(stdout);
            }
        }
    });
    // New datagrams recorded.
    const auto take_datagrams = [&] {
        const std::vector<fenrow_sim::Datagram> all = sim.received();
        for (; seen < all.size(); ++seen)
            if (recording)
                record(recording, all[seen]);
    };

    if (ro_mode) {
        while (!done() && !sim.wait_for_host(0.1) && elapsed() < wait_host)
            take_datagrams();
        if (sim.host_ip().empty()) {
            std::fprintf(stderr, "board_sim: no host knocked\n");
            return 1;
        }
        // The sender threads, started from this one, take its priority.
        if (realtime) {
            sched_param priority{};
            priority.sched_priority = 1;
            if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0)
                std::printf("real-time priority refused: sending at ordinary priority\n");
        }
        for (int n : stream_numbers) {
            StreamState st;
            st.spec.stream = n;
            st.spec.mode = ro_mode;
            st.spec.nchips = chips;
            st.spec.channels = channels;
            st.spec.hits = hits;
            st.spec.nadj = nadj;
            st.spec.detector = detector != FALSE;
            // Each stream its own temperature, so that its events can be
            // told from another stream's.
            st.spec.temperature = 30.0 + n;
            st.spec.count = count;
            st.spec.rate = rate;
            st.sender = std::make_unique<fenrow_sim::DataSender>(options.address, sim.host_ip(), sim.host_port(),
                                                                 st.spec, threads > 0 ? threads : rate > 0 ? 1 : 4);
            std::lock_guard<std::mutex> lock(states_mutex);
            st.on = !on_start || started[n];
            states.push_back(std::move(st));
        }
        const auto all_reported = [&] {
            for (const StreamState& st : states)
                if (!st.reported)
                    return false;
            return true;
        };
        while (!done()) {
            take_datagrams();
            std::unique_lock<std::mutex> lock(states_mutex);
            if (all_reported())
                break;
            for (StreamState& st : states) {
                if (st.on && !st.sender->running() && !st.sender->done() && !st.sender->start()) {
                    std::fprintf(stderr, "board_sim: %s\n", st.sender->error().c_str());
                    return 1;
                }
                if (!st.on && st.sender->running())
                    st.sender->stop();
                if (st.reported || !st.sender->done())
                    continue;
                st.reported = true;
                st.sender->stop();
                const double seconds = st.sender->seconds();
                const long sent = st.sender->sent();
                std::printf("sent %ld %s packets of stream %d to %s:%d in %.3f s (%.0f/s)\n", sent,
                            ro_mode_name(ro_mode), st.spec.stream, sim.host_ip().c_str(), sim.host_port(), seconds,
                            seconds > 0 ? sent / seconds : 0.0);
                std::fflush(stdout);
            }
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::lock_guard<std::mutex> lock(states_mutex);
        for (StreamState& st : states)
            st.sender->stop();
    }
    while (!done() && (!ro_mode || duration > 0 || on_start)) {
        take_datagrams();
        std::this_thread::sleep_for(std::chrono::milliseconds(recording ? 5 : 50));
    }
    take_datagrams();
    if (recording)
        std::fclose(recording);
    sim.stop();
    std::printf("received %zu datagrams, sent %llu acknowledgements\n", sim.received().size(),
                static_cast<unsigned long long>(sim.acks_sent()));
    return 0;
}
