// A port for a test's own programs and simulated boards on loopback.
//
// The system hands out a port free on the address asked about only: one that
// another test's board holds on 127.0.0.2 is free on 127.0.0.1. Boards sit
// on 127.0.0.2, 127.0.0.3 ... and hear knocks on the loopback broadcast
// address, with the same port on each, so a port is taken only when it is
// free on all of them, and never twice by one process (its host and board
// ports differ).
//
// Header-only: the benchmark builds it as well as the tests.
#ifndef BRISKO_TESTS_COMMON_LOOPBACK_PORT_H
#define BRISKO_TESTS_COMMON_LOOPBACK_PORT_H

#include <arpa/inet.h>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace loopback {

// Boards and programs of the tests go on 127.0.0.1 to this one.
constexpr int LAST_HOST = 15;
constexpr const char* BROADCAST = "127.255.255.255";

namespace detail {

// A socket of the type bound to address:port (0: the system picks), or -1.
inline int bound_socket(int type, const std::string& address, int port)
{
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace detail

// A port of the type (SOCK_DGRAM, SOCK_STREAM) free right now on 127.0.0.1,
// and for datagrams on every loopback address the boards use; 0 when none
// was found.
inline int unused_port(int type = SOCK_DGRAM)
{
    static std::mutex mutex;
    static std::set<int> given;
    std::lock_guard<std::mutex> lock(mutex);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = detail::bound_socket(type, "127.0.0.1", 0);
        if (fd < 0)
            return 0;
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        int port = 0;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port = ntohs(addr.sin_port);
        // Each address is tried while the ones before are held.
        bool free = port != 0 && !given.count(port);
        std::set<int> held;
        for (int host = 2; free && type == SOCK_DGRAM && host <= LAST_HOST + 1; ++host) {
            const std::string address = host <= LAST_HOST ? "127.0.0." + std::to_string(host) : BROADCAST;
            const int other = detail::bound_socket(type, address, port);
            free = other >= 0;
            if (free)
                held.insert(other);
        }
        for (int other : held)
            ::close(other);
        ::close(fd);
        if (free) {
            given.insert(port);
            return port;
        }
    }
    return 0;
}

} // namespace loopback

#endif
