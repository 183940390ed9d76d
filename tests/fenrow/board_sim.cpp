// Command-line board simulator: one simulated readout board on a loopback
// address that answers knocks and commands and, when asked, sends data
// packets to the host that knocked (or to --host).
//
//   fenrow_board_sim --address 127.0.0.2 --mode serial --chips 4 --rate 1000 --count 10000
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <glib.h>

#include "BoardSim.h"

namespace {

std::atomic<bool> interrupted{false};

void on_signal(int)
{
    interrupted = true;
}

} // namespace

int main(int argc, char** argv)
{
    gchar* address = nullptr;
    gchar* host = nullptr;
    gchar* mode = nullptr;
    gchar* firmware = nullptr;
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
    gint ack_error = 0;
    gdouble ack_delay = 0.0;
    gboolean no_ack = FALSE;
    gboolean short_reply = FALSE;

    GOptionEntry entries[] = {
        {"address", 'a', 0, G_OPTION_ARG_STRING, &address, "Address to bind (default 127.0.0.2)", "IP"},
        {"port", 'p', 0, G_OPTION_ARG_INT, &port, "Board port (default FENROW_BOARD_PORT or 10000)", "N"},
        {"host", 'H', 0, G_OPTION_ARG_STRING, &host, "Send data to IP:PORT instead of the knocking host", "IP:PORT"},
        {"firmware", 'f', 0, G_OPTION_ARG_STRING, &firmware, "Firmware word of the knock reply", "WORD"},
        {"short-reply", 0, 0, G_OPTION_ARG_NONE, &short_reply, "Answer knocks with the four-word reply", nullptr},
        {"mode", 'm', 0, G_OPTION_ARG_STRING, &mode, "Send data: serial, sparse, adjacent or scope", "MODE"},
        {"stream", 's', 0, G_OPTION_ARG_INT, &stream, "Stream number of the data (1-8)", "N"},
        {"chips", 'c', 0, G_OPTION_ARG_INT, &chips, "Chips of the stream", "N"},
        {"channels", 0, 0, G_OPTION_ARG_INT, &channels, "Channels per chip", "N"},
        {"hits", 0, 0, G_OPTION_ARG_INT, &hits, "Sparse mode: hits per packet", "N"},
        {"nadj", 0, 0, G_OPTION_ARG_INT, &nadj, "Adjacent mode: adjacent channels", "N"},
        {"count", 'n', 0, G_OPTION_ARG_INT64, &count, "Data packets to send (0: until --duration or a signal)", "N"},
        {"rate", 'r', 0, G_OPTION_ARG_DOUBLE, &rate, "Packets per second (0: as fast as possible)", "HZ"},
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
    g_free(address);
    g_free(host);
    g_free(mode);
    g_free(firmware);

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

    const auto start = std::chrono::steady_clock::now();
    const auto elapsed = [&start] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    const auto done = [&] { return interrupted.load() || (duration > 0 && elapsed() >= duration); };

    if (ro_mode) {
        while (!done() && !sim.wait_for_host(0.1) && elapsed() < wait_host) {
        }
        if (sim.host_ip().empty()) {
            std::fprintf(stderr, "board_sim: no host knocked\n");
            return 1;
        }
        fenrow_sim::DataSpec spec;
        spec.stream = stream;
        spec.mode = ro_mode;
        spec.nchips = chips;
        spec.channels = channels;
        spec.hits = hits;
        spec.nadj = nadj;
        spec.count = count;
        spec.rate = rate;
        const auto data_start = std::chrono::steady_clock::now();
        sim.start_data(spec);
        while (!done() && sim.data_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const long sent = sim.stop_data();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - data_start).count();
        std::printf("sent %ld %s packets to %s:%d in %.3f s (%.0f/s)\n", sent, ro_mode_name(ro_mode),
                    sim.host_ip().c_str(), sim.host_port(), seconds, seconds > 0 ? sent / seconds : 0.0);
    }
    while (!done() && (!ro_mode || duration > 0))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sim.stop();
    std::printf("received %zu datagrams, sent %llu acknowledgements\n", sim.received().size(),
                static_cast<unsigned long long>(sim.acks_sent()));
    return 0;
}
