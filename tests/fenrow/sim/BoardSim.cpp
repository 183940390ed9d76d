#include "BoardSim.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fenrow/net/NetConfig.h"

namespace fenrow_sim {

namespace {

constexpr const char* LOOPBACK_BROADCAST = "127.255.255.255";

int bind_udp(const std::string& address, int port, bool reuse, std::string& error)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    if (reuse)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = "cannot bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

// A cheap, repeatable value source for the payload.
std::uint16_t noise(std::uint32_t& state)
{
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint16_t>(2048 + ((state >> 20) & 0x3F) - 32);
}

std::uint32_t mix(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

// The noise of a channel: a Gaussian of 3 counts rounded to whole counts,
// drawn by a 16-bit hash through its cumulative table, so that a value
// costs a hash and a look-up rather than a logarithm.
const std::array<std::int8_t, 65536>& noise_table()
{
    static const std::array<std::int8_t, 65536> table = [] {
        constexpr double sigma = 3.0;
        std::array<std::int8_t, 65536> t{};
        int k = -20;
        for (std::size_t i = 0; i < t.size(); ++i) {
            const double p = (static_cast<double>(i) + 0.5) / 65536.0;
            // Count k holds the probability between k - 0.5 and k + 0.5.
            while (k < 20 && 0.5 * std::erfc(-(k + 0.5) / (sigma * std::sqrt(2.0))) < p)
                ++k;
            t[i] = static_cast<std::int8_t>(k);
        }
        return t;
    }();
    return table;
}

} // namespace

std::uint16_t detector_value(std::uint16_t evtcnt, int channel)
{
    const std::uint32_t ch = static_cast<std::uint32_t>(channel);
    const int pedestal = 460 + static_cast<int>(mix(ch * 0x9e3779b9u + 0x5bd1e995u) % 81);
    const std::uint32_t draw = mix(mix(ch + 0x27d4eb2du) ^ evtcnt) >> 16;
    return static_cast<std::uint16_t>(pedestal + noise_table()[draw]);
}

std::vector<std::uint16_t> Datagram::words() const
{
    return convert_packet(bytes.data(), bytes.size());
}

int Datagram::code() const
{
    return bytes.size() >= 4 ? (bytes[3] & CODE_MASK) : -1;
}

std::vector<std::uint8_t> make_data_packet(const DataSpec& spec, std::uint16_t evtcnt, std::uint32_t time)
{
    DataHeader h;
    h.stream = spec.stream;
    h.mode = spec.mode;
    h.evtcnt = evtcnt;
    h.time = time;
    h.temperature = encode_temperature(spec.temperature);
    std::uint32_t state = evtcnt;
    const int nchan = std::max(1, spec.nchips * spec.channels);
    const auto value = [&](int channel) {
        return spec.detector ? detector_value(evtcnt, (channel % nchan + nchan) % nchan) : noise(state);
    };
    std::vector<std::uint16_t> payload;
    switch (spec.mode) {
    case RO_SPARSE:
        h.nchan = static_cast<std::uint16_t>(spec.hits);
        for (int k = 0; k < spec.hits; ++k) {
            const int channel = (evtcnt + 7 * k) % nchan;
            payload.push_back(static_cast<std::uint16_t>(channel));
            payload.push_back(0);
            payload.push_back(value(channel));
        }
        break;
    case RO_ADJACENT: {
        h.nchan = static_cast<std::uint16_t>(spec.nadj);
        const int centre = evtcnt % nchan;
        payload.push_back(static_cast<std::uint16_t>(centre));
        payload.push_back(value(centre));
        payload.push_back(value(centre));
        for (int k = 1; k <= spec.nadj; ++k) {
            payload.push_back(static_cast<std::uint16_t>(k));
            payload.push_back(value(centre - k));
            payload.push_back(value(centre + k));
        }
        break;
    }
    default:   // serial, and scope with the same layout
        h.nchan = static_cast<std::uint16_t>(nchan);
        for (int k = 0; k < nchan; ++k)
            payload.push_back(value(k));
        break;
    }
    return encode_data_packet(h, payload);
}

BoardSim::BoardSim(const Options& options) : _options(options)
{
    if (_options.port == 0)
        _options.port = fenrow_net::board_port();
    _host_ip = _options.host_ip;
    _host_port = _options.host_port;
    _rules[0] = AckRule();
}

BoardSim::~BoardSim()
{
    stop();
}

bool BoardSim::start()
{
    if (_thread.joinable())
        return true;
    _fd = bind_udp(_options.address, _options.port, false, _error);
    if (_fd < 0)
        return false;
    if (_options.listen_broadcast) {
        _bcast_fd = bind_udp(LOOPBACK_BROADCAST, _options.port, true, _error);
        if (_bcast_fd < 0) {
            ::close(_fd);
            _fd = -1;
            return false;
        }
    }
    _wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    _stop = false;
    _thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "sim-board");
        run();
    });
    return true;
}

void BoardSim::stop()
{
    // The board's thread first: it may start the data (follow_start_stop).
    _stop = true;
    if (_wake_fd >= 0) {
        const std::uint64_t one = 1;
        ssize_t rc = ::write(_wake_fd, &one, sizeof one);
        (void)rc;
    }
    if (_thread.joinable())
        _thread.join();
    stop_data();
    for (int* fd : {&_fd, &_bcast_fd, &_wake_fd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void BoardSim::set_ack(int code, const AckRule& rule)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _rules[code] = rule;
}

void BoardSim::set_knock_reply(bool answer, bool short_reply, std::uint32_t firmware)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _options.answer_knock = answer;
    _options.short_reply = short_reply;
    _options.firmware = firmware;
}

void BoardSim::set_start_stop_hook(StartStopHook hook)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _start_stop = std::move(hook);
}

void BoardSim::follow_start_stop(const DataSpec& data)
{
    set_start_stop_hook([this, data](int stream, bool start) {
        if (stream != data.stream)
            return;
        if (start)
            start_data(data);
        else
            stop_data();
    });
}

std::vector<Datagram> BoardSim::received()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _received;
}

std::vector<Datagram> BoardSim::received(int code)
{
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<Datagram> out;
    for (const Datagram& d : _received)
        if (code < 0 || d.code() == code)
            out.push_back(d);
    return out;
}

std::size_t BoardSim::count(int code)
{
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<std::size_t>(std::count_if(_received.begin(), _received.end(),
                                                  [code](const Datagram& d) { return code < 0 || d.code() == code; }));
}

bool BoardSim::wait_for(int code, std::size_t n, double seconds)
{
    std::unique_lock<std::mutex> lock(_mutex);
    return _cond.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
        return static_cast<std::size_t>(std::count_if(_received.begin(), _received.end(), [code](const Datagram& d) {
                   return code < 0 || d.code() == code;
               })) >= n;
    });
}

void BoardSim::clear_received()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _received.clear();
}

std::string BoardSim::host_ip()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _host_ip;
}

int BoardSim::host_port()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _host_port;
}

bool BoardSim::wait_for_host(double seconds)
{
    std::unique_lock<std::mutex> lock(_mutex);
    return _cond.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return !_host_ip.empty(); });
}

int BoardSim::send_to(const std::string& ip, int port, const void* bytes, std::size_t count)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (_fd < 0 || inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1)
        return -1;
    // A full send buffer is worth a short wait, not a lost datagram.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (::sendto(_fd, bytes, count, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0)
            return 0;
        if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR)
            return -1;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return -1;
}

int BoardSim::send_raw(const void* bytes, std::size_t count)
{
    std::string ip;
    int port = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ip = _host_ip;
        port = _host_port;
    }
    return ip.empty() ? -1 : send_to(ip, port, bytes, count);
}

std::size_t BoardSim::send_many(const std::vector<std::vector<std::uint8_t>>& datagrams)
{
    sockaddr_in to{};
    {
        std::lock_guard<std::mutex> lock(_mutex);
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(_host_port));
        if (_host_ip.empty() || inet_pton(AF_INET, _host_ip.c_str(), &to.sin_addr) != 1)
            return 0;
    }
    constexpr std::size_t batch = 64;
    mmsghdr headers[batch];
    iovec vectors[batch];
    std::size_t sent = 0;
    int stalls = 0;
    while (sent < datagrams.size() && _fd >= 0) {
        const std::size_t n = std::min(batch, datagrams.size() - sent);
        for (std::size_t i = 0; i < n; ++i) {
            const std::vector<std::uint8_t>& d = datagrams[sent + i];
            vectors[i] = iovec{const_cast<std::uint8_t*>(d.data()), d.size()};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_name = &to;
            headers[i].msg_hdr.msg_namelen = sizeof to;
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int rc = ::sendmmsg(_fd, headers, static_cast<unsigned>(n), 0);
        if (rc > 0) {
            sent += static_cast<std::size_t>(rc);
            stalls = 0;
            continue;
        }
        // A full send buffer is worth a short wait, not a lost datagram.
        if (rc < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR)
            break;
        if (++stalls > 1000)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    _data_sent += sent;
    return sent;
}

long BoardSim::data_loop(DataSpec spec)
{
    const auto start = Clock::now();
    long sent = 0;
    for (long i = 0; (spec.count == 0 || i < spec.count) && !_data_stop && !_stop; ++i) {
        if (spec.rate > 0) {
            const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(i / spec.rate));
            std::this_thread::sleep_until(due);
        }
        const std::uint32_t evt = _evtcnt++;
        const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        if (send_raw(make_data_packet(spec, static_cast<std::uint16_t>(evt), static_cast<std::uint32_t>(usec))) == 0) {
            ++sent;
            ++_data_sent;
        }
    }
    return sent;
}

long BoardSim::send_data(const DataSpec& spec)
{
    DataSpec s = spec;
    if (s.count == 0)
        s.count = 1;
    return data_loop(s);
}

void BoardSim::start_data(const DataSpec& spec)
{
    stop_data();
    _data_stop = false;
    _data_running = true;
    _data_thread = std::thread([this, spec] {
        _data_result = data_loop(spec);
        _data_running = false;
    });
}

long BoardSim::stop_data()
{
    _data_stop = true;
    if (_data_thread.joinable())
        _data_thread.join();
    return _data_result.load();
}

void BoardSim::on_datagram(int fd, const std::uint8_t* bytes, std::size_t n, const std::string& ip, int port)
{
    Datagram d;
    d.when = Clock::now();
    d.ip = ip;
    d.port = port;
    d.bytes.assign(bytes, bytes + n);
    const std::vector<std::uint16_t> w = d.words();
    const bool command = w.size() >= 2 && head_ok(w[0]);
    const int code = command ? (w[1] & CODE_MASK) : -1;

    std::vector<std::uint8_t> reply;
    double delay = 0.0;
    // A start or stop command: its stream (0 for any other) and flag.
    const int stream = code == CMD_START_STOP && w.size() >= 4 ? w[1] >> 8 : 0;
    const bool start = stream && (w[3] & 1) != 0;
    StartStopHook hook;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _received.push_back(std::move(d));
        hook = _start_stop;
        if (code == CMD_KNOCK) {
            if (_options.host_ip.empty()) {
                _host_ip = ip;
                _host_port = port;
            }
            if (_options.answer_knock)
                reply = make_knock_reply(_options.firmware, _options.short_reply);
        } else if (code > 0 && fd == _fd) {
            auto it = _rules.find(code);
            AckRule& rule = it != _rules.end() ? it->second : _rules[0];
            if (rule.answer) {
                int error = 0;
                if (rule.error && rule.error_count != 0) {
                    error = rule.error;
                    if (rule.error_count > 0)
                        --rule.error_count;
                }
                reply = make_ack(code, error);
                delay = rule.delay;
            }
        }
    }
    _cond.notify_all();
    if (reply.empty()) {
        if (stream && hook && fd == _fd)
            hook(stream, start);
        return;
    }
    if (delay > 0) {
        std::lock_guard<std::mutex> lock(_mutex);
        LateAck late{Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(delay)),
                     ip, port, std::move(reply)};
        late.stream = stream;
        late.start = start;
        _late.push_back(std::move(late));
        return;
    }
    if (stream && hook)
        hook(stream, start);
    send_to(ip, port, reply.data(), reply.size());
    if (code != CMD_KNOCK)
        ++_acks_sent;
}

void BoardSim::run()
{
    std::vector<std::uint8_t> buffer(70000);
    while (!_stop) {
        int timeout = 200;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            const auto now = Clock::now();
            for (const LateAck& a : _late) {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(a.due - now).count() + 1;
                timeout = std::min<int>(timeout, static_cast<int>(std::max<long long>(0, ms)));
            }
        }
        pollfd fds[3] = {{_fd, POLLIN, 0}, {_wake_fd, POLLIN, 0}, {_bcast_fd, POLLIN, 0}};
        const int nfds = _bcast_fd >= 0 ? 3 : 2;
        if (::poll(fds, nfds, timeout) < 0 && errno != EINTR)
            break;
        for (int i : {0, 2}) {
            if (i >= nfds || !(fds[i].revents & POLLIN))
                continue;
            for (;;) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const ssize_t n = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                             reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 0)
                    break;
                char ip[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
                on_datagram(fds[i].fd, buffer.data(), static_cast<std::size_t>(n), ip, ntohs(from.sin_port));
            }
        }
        std::vector<LateAck> due;
        StartStopHook hook;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            hook = _start_stop;
            const auto now = Clock::now();
            auto split = std::partition(_late.begin(), _late.end(), [now](const LateAck& a) { return a.due > now; });
            due.assign(std::make_move_iterator(split), std::make_move_iterator(_late.end()));
            _late.erase(split, _late.end());
        }
        for (const LateAck& a : due) {
            if (a.stream && hook)
                hook(a.stream, a.start);
            send_to(a.ip, a.port, a.bytes.data(), a.bytes.size());
            ++_acks_sent;
        }
    }
}

} // namespace fenrow_sim
