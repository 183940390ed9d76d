#include "fenrow/DAQServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <glib.h>

#include "fenrow/NetConfig.h"
#include "ostrel/Log.h"

using Clock = std::chrono::steady_clock;

// Receive buffers for one recvmmsg call. A cache line between the buffers
// keeps the heads of the datagrams out of one cache set.
struct DAQServer::Batch {
    static constexpr unsigned COUNT = 64;
    static constexpr std::size_t STRIDE = BUFFER_SIZE + 64;
    alignas(64) std::uint8_t buffers[COUNT][STRIDE];
    mmsghdr headers[COUNT];
    iovec vectors[COUNT];
    sockaddr_in senders[COUNT];
    unsigned count = 0;
    Clock::time_point time{};

    Batch()
    {
        for (unsigned i = 0; i < COUNT; ++i) {
            vectors[i] = iovec{buffers[i], BUFFER_SIZE};
            headers[i] = mmsghdr{};
            msghdr& h = headers[i].msg_hdr;
            h.msg_name = &senders[i];
            h.msg_namelen = sizeof(sockaddr_in);
            h.msg_iov = &vectors[i];
            h.msg_iovlen = 1;
        }
    }
};

// The batches pass from the receiving thread to the server thread in order.
// The receiving thread's share of the work per datagram is the system
// call alone: a datagram the socket has no room for is lost, while a batch
// waits here until it is handled. Either side sleeps as sleep_on says.
struct DAQServer::Ring {
    static constexpr unsigned SIZE = 16;
    std::unique_ptr<Batch> batches[SIZE];
    alignas(64) std::atomic<std::uint64_t> filled{0};
    alignas(64) std::atomic<std::uint64_t> handled{0};
    alignas(64) std::atomic<bool> server_sleeps{false};
    std::atomic<bool> receiver_sleeps{false};
    // The server thread's own.
    alignas(64) std::uint8_t scratch[BUFFER_SIZE];

    Ring()
    {
        for (auto& b : batches)
            b = std::make_unique<Batch>();
    }
};

namespace {

// Datagrams handled per wake-up before the timers get their turn.
constexpr int DRAIN_LIMIT = 1024;
// Longest wait for data: the periodic work runs at least this often.
constexpr int MAX_WAIT_MS = 500;
// A datagram the socket has no room for is lost, while every queue after
// these threads holds its events until they are taken: where the program may
// (CAP_SYS_NICE), the receiving and the server thread go before the others
// when processors are short.
constexpr int SERVER_NICE = -10;

// A thread of normal priority that wakes may wait for a time slice of
// another; one of real-time priority goes first at once. Where the program
// may (CAP_SYS_NICE), the receiving thread has the lowest real-time
// priority, which only it asks for: it sleeps whenever the socket is empty.
constexpr int RECEIVER_RT_PRIORITY = 1;

// How long the server thread looks for the next batch before it sleeps:
// waking it costs the receiving thread a system call.
constexpr auto SERVER_SPIN = std::chrono::microseconds(20);

std::string system_error()
{
    return g_strerror(errno);
}

void signal_fd(int fd)
{
    if (fd >= 0) {
        const std::uint64_t one = 1;
        ssize_t rc = ::write(fd, &one, sizeof one);
        (void)rc;
    }
}

void drain_fd(int fd)
{
    std::uint64_t v;
    ssize_t rc = ::read(fd, &v, sizeof v);
    (void)rc;
}

// One side of the ring sleeps on its eventfd, for at most `ms`, only after
// saying so in `sleeps` and finding that it still has to wait (`must_wait`):
// the other side changes the ring before it looks at `sleeps`, so either
// this sees the change or the other sees `sleeps` and signals.
template <class MustWait>
void sleep_on(std::atomic<bool>& sleeps, int fd, int ms, MustWait must_wait)
{
    sleeps.store(true);
    if (must_wait()) {
        pollfd wake{fd, POLLIN, 0};
        if (::poll(&wake, 1, ms) > 0)
            drain_fd(fd);
    }
    sleeps.store(false);
}

void wake_sleeper(const std::atomic<bool>& sleeps, int fd)
{
    if (sleeps.load())
        signal_fd(fd);
}

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

} // namespace

std::string get_ip_address(const std::string& interface)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "get_ip_address: Error from getifaddrs" << std::endl;
        return std::string();
    }
    std::string found;
    for (ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || !(a->ifa_flags & IFF_UP) || a->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        const auto* sin = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if (!inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) {
            std::printf("%s: inet_ntop failed!\n", a->ifa_name);
            continue;
        }
        Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
        log << "Found " << a->ifa_name << " - " << text << "[ looking for interface " << interface << "]"
            << std::endl;
        const std::string address = text;
        if (address.compare(0, 3, "11.") == 0)
            found = address;
        else if (interface.empty() && (a->ifa_flags & IFF_LOOPBACK))
            found = address;
    }
    freeifaddrs(list);
    return found;
}

DAQServer::DAQServer(const std::string& interface, int port) : _port(port), _interface(interface)
{
}

DAQServer::~DAQServer()
{
    close();
}

int DAQServer::init_server()
{
    if (_fd >= 0)
        return 0;
    _fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (_fd < 0) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "DAQServer: could not open the socket\n\t" << system_error() << std::endl;
        return -1;
    }
    const int on = 1;
    setsockopt(_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // No address reuse: a second program bound to the same address and port
    // would take the boards' datagrams from the first.

    // Boards send in bursts; a large buffer keeps them while the thread is
    // busy or waits for a processor. Beyond the system's limit only where
    // the program may (CAP_NET_ADMIN). The system reports twice what it
    // granted.
    int asked = RECEIVE_BUFFER;
    if (setsockopt(_fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0)
        setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    int granted = 0;
    socklen_t len = sizeof granted;
    if (getsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted / 2 < asked) {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "DAQServer: receive buffer of " << granted / 2 << " bytes granted, " << asked
            << " asked for (net.core.rmem_max)" << std::endl;
    }

    _address = fenrow_net::bind_address();
    if (_address.empty())
        _address = ::get_ip_address(_interface);
    if (_address.empty()) {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Falling back to loopback" << std::endl;
        _interface = "lo";
        _address = "127.0.0.1";
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(_port));
    if (inet_pton(AF_INET, _address.c_str(), &addr.sin_addr) != 1
        || ::bind(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const bool in_use = errno == EADDRINUSE;
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "DAQServer: cannot bind socket\n\t" << system_error() << std::endl;
        if (in_use)
            log << "DAQServer: " << _address << ":" << _port
                << " is in use by another program, perhaps another brisko: its boards stay with it, and this "
                   "program goes on without them"
                << std::endl;
        ::close(_fd);
        _fd = -1;
        return -4;
    }
    sockaddr_in bound{};
    socklen_t blen = sizeof bound;
    if (getsockname(_fd, reinterpret_cast<sockaddr*>(&bound), &blen) == 0)
        _port = ntohs(bound.sin_port);
    _wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    _receiver_wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << "Creating server on " << _address << ":" << _port << std::endl;
    after_setup();
    return 0;
}

void DAQServer::start_thread()
{
    std::lock_guard<std::mutex> lock(_thread_mutex);
    if (_thread.joinable() || _fd < 0)
        return;
    Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
    log << "Starting thread" << std::endl;
    _stop_request = false;
    _receiver_failed = false;
    if (!_ring)
        _ring = std::make_unique<Ring>();
    // Linux keeps a niceness per thread; refused, the thread stays as it is.
    const auto raise_priority = [] { setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), SERVER_NICE); };
    _receiver = std::thread([this, raise_priority] {
        pthread_setname_np(pthread_self(), "DAQreceiver");
        const sched_param fifo{RECEIVER_RT_PRIORITY};
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) != 0)
            raise_priority();
        receive();
    });
    _thread = std::thread([this, raise_priority] {
        pthread_setname_np(pthread_self(), "DAQserver");
        raise_priority();
        _thread_id = std::this_thread::get_id();
        serve();
        Ostrel::ostream quit(Ostrel::LOG_INFO);
        quit << "Ostrel:: Quitting the thread" << std::endl;
    });
}

void DAQServer::stop()
{
    std::lock_guard<std::mutex> lock(_thread_mutex);
    _stop_request = true;
    signal_fd(_wake_fd);
    signal_fd(_receiver_wake_fd);
    if (_receiver.joinable())
        _receiver.join();
    if (_thread.joinable() && std::this_thread::get_id() != _thread.get_id())
        _thread.join();
    _thread_id = std::thread::id();
}

void DAQServer::close()
{
    if (_fd < 0)
        return;
    stop();
    if (::close(_fd) != 0) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "DAQServer: error closing socket\n\t[" << system_error() << "]" << std::endl;
    }
    _fd = -1;
    for (int* fd : {&_wake_fd, &_receiver_wake_fd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

int DAQServer::send_packet(const std::string& ip, int port, const void* bytes, std::size_t count)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    errno = EINVAL;
    if (_fd < 0 || inet_pton(AF_INET, ip.c_str(), &to.sin_addr) != 1
        || ::sendto(_fd, bytes, count, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "DAQServer::send_packet to " << ip << ":" << port << "\n\t" << system_error() << std::endl;
        return -1;
    }
    return 0;
}

int DAQServer::wait_for_data(int milliseconds)
{
    if (_fd < 0)
        return -1;
    pollfd p{_fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, milliseconds);
    if (rc < 0)
        return errno == EINTR ? 0 : -1;
    return rc > 0 && (p.revents & POLLIN) ? 1 : 0;
}

void DAQServer::add_idle_func(CallBackFunc func, void* data)
{
    _idle_funcs.push_back(CallBack{func, data});
}

void DAQServer::add_timed_func(double period, CallBackFunc func, void* data)
{
    TimedCallBack cb;
    cb.func = func;
    cb.data = data;
    cb.period = period;
    cb.stamp = Clock::now();
    _timed_funcs.push_back(cb);
}

std::string DAQServer::get_ip_address() const
{
    return _address;
}

void DAQServer::handle_request(const std::string&, int, std::uint16_t*, int)
{
}

void DAQServer::filter(std::uint8_t*, int)
{
}

void DAQServer::idle()
{
}

void DAQServer::after_setup()
{
}

void DAQServer::end_of_batch()
{
}

void DAQServer::receive()
{
    Ring& r = *_ring;
    std::uint64_t filled = r.filled.load(std::memory_order_relaxed);
    while (!_stop_request) {
        if (filled - r.handled.load(std::memory_order_acquire) >= Ring::SIZE) {
            // The server thread is behind: the socket keeps the datagrams
            // meanwhile.
            wake_sleeper(r.server_sleeps, _wake_fd);
            sleep_on(r.receiver_sleeps, _receiver_wake_fd, MAX_WAIT_MS,
                     [&] { return filled - r.handled.load() >= Ring::SIZE && !_stop_request; });
            continue;
        }
        Batch& b = *r.batches[filled % Ring::SIZE];
        for (unsigned i = 0; i < b.count; ++i)
            b.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        const int n = ::recvmmsg(_fd, b.headers, Batch::COUNT, MSG_DONTWAIT, nullptr);
        if (n > 0) {
            b.count = static_cast<unsigned>(n);
            b.time = Clock::now();
            r.filled.store(++filled);
            // A wake-up costs this thread a system call and an interrupt
            // besides: while the socket has more, the server thread is woken
            // once half the ring waits for it, else when the socket is empty.
            if (filled - r.handled.load() >= Ring::SIZE / 2)
                wake_sleeper(r.server_sleeps, _wake_fd);
            continue;
        }
        b.count = 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "DAQServer: Error getting data\n\t" << system_error() << std::endl;
            log << "Error receiveing packet" << std::endl;
        }
        if (filled != r.handled.load())
            wake_sleeper(r.server_sleeps, _wake_fd);
        pollfd fds[2] = {{_fd, POLLIN, 0}, {_receiver_wake_fd, POLLIN, 0}};
        const int rc = ::poll(fds, 2, MAX_WAIT_MS);
        if ((rc < 0 && errno != EINTR) || (fds[0].revents & POLLNVAL)) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "DAQserver: error polling for requests. Stop serving" << std::endl;
            _receiver_failed = true;
            signal_fd(_wake_fd);
            break;
        }
        if (fds[1].revents & POLLIN)
            drain_fd(_receiver_wake_fd);
    }
}

std::chrono::steady_clock::time_point DAQServer::batch_time() const
{
    return on_server_thread() ? _batch_time : Clock::now();
}

void DAQServer::handle_batch(Batch& b)
{
    _batch_time = b.time;
    // Datagrams come in runs from one board: its address is written out
    // once per run rather than once per datagram.
    in_addr last_address{};
    std::string ip;
    _received.fetch_add(b.count, std::memory_order_relaxed);
    for (unsigned i = 0; i < b.count; ++i) {
        const msghdr& h = b.headers[i].msg_hdr;
        const unsigned count = b.headers[i].msg_len;
        if (ip.empty() || b.senders[i].sin_addr.s_addr != last_address.s_addr) {
            last_address = b.senders[i].sin_addr;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &last_address, text, sizeof text);
            ip = text;
        }
        const int port = ntohs(b.senders[i].sin_port);
        if (count == 0 || (h.msg_flags & MSG_TRUNC)) {
            _socket_drops.fetch_add(1, std::memory_order_relaxed);
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "DAQServer: dropped a datagram of " << (count ? "more than " : "") << count << " bytes from "
                << ip << ":" << port << std::endl;
            continue;
        }
        // Rewritten in a buffer of this thread's own: a line of the ring
        // this thread had written would have to come back from its cache
        // before the receiving thread could write it again.
        std::uint8_t* bytes = _ring->scratch;
        std::memcpy(bytes, b.buffers[i], count);
        filter(bytes, static_cast<int>(count));
        handle_request(ip, port, reinterpret_cast<std::uint16_t*>(bytes), static_cast<int>(count));
    }
    end_of_batch();
}

int DAQServer::handle_batches()
{
    Ring& r = *_ring;
    std::uint64_t handled = r.handled.load(std::memory_order_relaxed);
    int total = 0;
    while (total < DRAIN_LIMIT && !_stop_request && handled != r.filled.load(std::memory_order_acquire)) {
        Batch& b = *r.batches[handled % Ring::SIZE];
        handle_batch(b);
        total += static_cast<int>(b.count);
        r.handled.store(++handled);
        wake_sleeper(r.receiver_sleeps, _receiver_wake_fd);
    }
    return total;
}

void DAQServer::wait_for_batch()
{
    Ring& r = *_ring;
    const std::uint64_t handled = r.handled.load(std::memory_order_relaxed);
    const auto start = Clock::now();
    while (Clock::now() - start < SERVER_SPIN) {
        for (int i = 0; i < 64; ++i) {
            if (r.filled.load(std::memory_order_acquire) != handled || _stop_request)
                return;
            cpu_relax();
        }
    }
    sleep_on(r.server_sleeps, _wake_fd, poll_timeout_ms(),
             [&] { return r.filled.load() == handled && !_stop_request && !_receiver_failed; });
}

int DAQServer::poll_timeout_ms() const
{
    if (!_idle_funcs.empty())
        return 0;
    const auto now = Clock::now();
    auto next = _idle_stamp + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(_idle_period));
    for (const TimedCallBack& t : _timed_funcs) {
        const auto due = t.stamp + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(t.period));
        next = std::min(next, due);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, MAX_WAIT_MS));
}

void DAQServer::run_timers()
{
    for (auto it = _idle_funcs.begin(); it != _idle_funcs.end();)
        it = it->func(it->data) ? std::next(it) : _idle_funcs.erase(it);

    const auto now = Clock::now();
    const auto since = [&now](Clock::time_point t) { return std::chrono::duration<double>(now - t).count(); };
    if (since(_idle_stamp) >= _idle_period) {
        _idle_stamp = now;
        idle();
    }
    for (auto it = _timed_funcs.begin(); it != _timed_funcs.end();) {
        if (since(it->stamp) >= it->period) {
            it->stamp = now;
            if (!it->func(it->data)) {
                it = _timed_funcs.erase(it);
                continue;
            }
        }
        ++it;
    }
}

void DAQServer::serve()
{
    {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Start serving" << "[" << std::this_thread::get_id() << "]" << std::endl;
    }
    _running = true;
    _idle_stamp = Clock::now();
    while (!_stop_request) {
        if (handle_batches() == 0) {
            if (_receiver_failed)
                break;
            wait_for_batch();
        }
        if (!_stop_request)
            run_timers();
    }
    _running = false;
}
