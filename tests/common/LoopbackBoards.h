// Simulated boards on loopback for window tests and benchmarks: private board
// network ports in this process's environment (which the board plug-in and
// the simulator read), and simulator processes that go with their owner.
//
// Header-only: the benchmark builds it as well as the tests.
#ifndef BRISKO_TESTS_COMMON_LOOPBACK_BOARDS_H
#define BRISKO_TESTS_COMMON_LOOPBACK_BOARDS_H

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib/gstdio.h>

#include "common/LoopbackPort.h"

namespace loopback {

// A port of the type free right now (for datagrams on every loopback address
// the boards use); 0 when none was found.
inline int free_port(GSocketType type = G_SOCKET_TYPE_DATAGRAM)
{
    return loopback::unused_port(type == G_SOCKET_TYPE_STREAM ? SOCK_STREAM : SOCK_DGRAM);
}

// The board network of this process and of the children it starts: host,
// board and trigger ports of its own, knocks to the loopback broadcast
// address, so that boards on 127.0.0.2, 127.0.0.3 ... hear them.
inline void use_private_ports()
{
    g_setenv("FENROW_BIND_ADDRESS", "127.0.0.1", TRUE);
    g_setenv("FENROW_KNOCK_ADDRESS", "127.255.255.255", TRUE);
    for (const char* name : {"FENROW_HOST_PORT", "FENROW_BOARD_PORT", "FENROW_TRIGGER_PORT"})
        g_setenv(name, std::to_string(free_port()).c_str(), TRUE);
}

// A program started with its output in a file, stopped (SIGINT, then
// SIGKILL after the time) and waited for when it goes.
class Process {
public:
    Process(const std::vector<std::string>& args, const std::string& output)
    {
        // The launcher writes over an existing file without shortening it.
        g_unlink(output.c_str());
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_MERGE);
        g_subprocess_launcher_set_stdout_file_path(launcher, output.c_str());
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        argv.push_back(nullptr);
        GError* error = nullptr;
        process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
        if (!process) {
            reason = error->message;
            g_error_free(error);
        }
        g_object_unref(launcher);
    }
    ~Process() { stop(); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return process != nullptr; }
    // The process id while it runs, else 0.
    int pid() const
    {
        const char* id = process ? g_subprocess_get_identifier(process) : nullptr;
        return id ? std::atoi(id) : 0;
    }
    const std::string& error() const { return reason; }
    // Ends the program; its exit status, or -1.
    int stop(double seconds = 10)
    {
        if (!process)
            return -1;
        g_subprocess_send_signal(process, SIGINT);
        const gint64 until = g_get_monotonic_time() + gint64(seconds * 1e6);
        while (!ended() && g_get_monotonic_time() < until)
            g_usleep(10000);
        if (!ended())
            g_subprocess_force_exit(process);
        g_subprocess_wait(process, nullptr, nullptr);
        const int status = g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process) : -1;
        g_object_unref(process);
        process = nullptr;
        return status;
    }

private:
    // GLib's worker reaps the child and then forgets its identifier.
    bool ended() const { return g_subprocess_get_identifier(process) == nullptr; }

    GSubprocess* process = nullptr;
    std::string reason;
};

} // namespace loopback

#endif
