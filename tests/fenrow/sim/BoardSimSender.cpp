#include "BoardSimSender.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fenrow_sim {

namespace {

// Datagrams per sendmmsg call.
constexpr int BATCH = 32;
// The finest pacing of a thread's packets.
constexpr std::chrono::microseconds PACE{100};
constexpr long COUNTERS = 65536;

int connected_socket(const std::string& from, const std::string& to, int port, std::string& error)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    // Connected: no address to look up per datagram.
    if (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 || inet_pton(AF_INET, to.c_str(), &remote.sin_addr) != 1
        || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0
        || ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        error = "cannot send from " + from + " to " + to + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

DataSender::DataSender(const std::string& board_address, const std::string& host_ip, int host_port,
                       const DataSpec& spec, int threads)
    : _board(board_address), _host_ip(host_ip), _host_port(host_port), _spec(spec),
      _nthreads(valid_threads(threads) ? threads : 1), _progress(new std::atomic<long>[8])
{
    for (int t = 0; t < 8; ++t)
        _progress[t] = 0;
    // Every counter a run can use, or as many packets as are asked for.
    _ring_size = static_cast<std::size_t>(spec.count > 0 && spec.count < COUNTERS ? spec.count : COUNTERS);
    for (std::size_t c = 0; c < _ring_size; ++c) {
        const std::vector<std::uint8_t> packet = make_data_packet(spec, static_cast<std::uint16_t>(c), 0);
        if (c == 0) {
            _packet_size = packet.size();
            _ring.resize(_ring_size * _packet_size);
        }
        std::memcpy(&_ring[c * _packet_size], packet.data(), _packet_size);
    }
}

DataSender::~DataSender()
{
    stop();
}

long DataSender::share(int thread) const
{
    if (_spec.count <= 0)
        return -1;
    return _spec.count / _nthreads + (thread < _spec.count % _nthreads ? 1 : 0);
}

bool DataSender::done() const
{
    if (_spec.count <= 0)
        return false;
    for (int t = 0; t < _nthreads; ++t)
        if (_progress[t].load() < share(t))
            return false;
    return true;
}

double DataSender::seconds() const
{
    const Clock::time_point last{Clock::duration(_last_send.load())};
    return last > _first_start ? std::chrono::duration<double>(last - _first_start).count() : 0.0;
}

bool DataSender::start()
{
    if (running())
        return true;
    for (int t = 0; t < _nthreads; ++t) {
        const int fd = connected_socket(_board, _host_ip, _host_port, _error);
        if (fd < 0) {
            for (int open : _fds)
                ::close(open);
            _fds.clear();
            return false;
        }
        _fds.push_back(fd);
    }
    const Clock::time_point now = Clock::now();
    if (_first_start == Clock::time_point{})
        _first_start = now;
    // A resumed stream is paced from now on, from the next packet.
    long next = COUNTERS * COUNTERS;
    for (int t = 0; t < _nthreads; ++t)
        next = std::min(next, t + _progress[t].load() * _nthreads);
    const Clock::time_point base =
        _spec.rate > 0 ? now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(next / _spec.rate))
                       : now;
    _stop = false;
    for (int t = 0; t < _nthreads; ++t)
        _threads.emplace_back(&DataSender::run, this, t, _fds[static_cast<std::size_t>(t)], base);
    return true;
}

void DataSender::stop()
{
    _stop = true;
    for (std::thread& t : _threads)
        t.join();
    _threads.clear();
    for (int fd : _fds)
        ::close(fd);
    _fds.clear();
}

void DataSender::run(int thread, int fd, Clock::time_point base)
{
    // Named, so that a benchmark can tell the board's cost from the host's.
    pthread_setname_np(pthread_self(), "sim-sender");
    const long mine = share(thread);
    const long n = _nthreads;
    mmsghdr headers[BATCH];
    iovec vectors[BATCH];
    long k = _progress[thread].load();
    while (!_stop && (mine < 0 || k < mine)) {
        int batch = BATCH;
        if (mine >= 0)
            batch = static_cast<int>(std::min<long>(batch, mine - k));
        Clock::time_point now = Clock::now();
        if (_spec.rate > 0) {
            // Packet k of this thread is packet thread + k * n of the stream,
            // due that many intervals after the base.
            const long due = static_cast<long>(std::chrono::duration<double>(now - base).count() * _spec.rate);
            const long mine_due = due >= thread ? (due - thread) / n + 1 : 0;
            if (mine_due <= k) {
                // Waking for every packet would cost the sender a system
                // call per datagram (at real-time priority nothing rounds
                // the sleeps up): packets due within PACE go together.
                const double at = static_cast<double>(thread + k * n) / _spec.rate;
                const Clock::time_point due =
                    base + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at));
                std::this_thread::sleep_until(std::min(std::max(due, now + PACE), now + std::chrono::milliseconds(1)));
                continue;
            }
            batch = static_cast<int>(std::min<long>(batch, mine_due - k));
        }
        const auto usec = static_cast<std::uint32_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - _first_start).count());
        for (int i = 0; i < batch; ++i) {
            const long counter = (thread + (k + i) * n) % COUNTERS;
            std::uint8_t* packet = &_ring[static_cast<std::size_t>(counter) % _ring_size * _packet_size];
            // w4 and w5: the board time, big-endian.
            packet[8] = static_cast<std::uint8_t>(usec >> 24);
            packet[9] = static_cast<std::uint8_t>(usec >> 16);
            packet[10] = static_cast<std::uint8_t>(usec >> 8);
            packet[11] = static_cast<std::uint8_t>(usec);
            vectors[i] = iovec{packet, _packet_size};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int rc = ::sendmmsg(fd, headers, static_cast<unsigned>(batch), 0);
        if (rc > 0) {
            k += rc;
            _progress[thread] = k;
            _sent += rc;
            _last_send = Clock::now().time_since_epoch().count();
            continue;
        }
        // A full send buffer, or a host port not yet open, is worth a short
        // wait, not a lost datagram.
        if (rc < 0 && errno != EAGAIN && errno != ENOBUFS && errno != EINTR && errno != ECONNREFUSED)
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

} // namespace fenrow_sim
