#include "fenrow/net/DAQServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>

#include "fenrow/net/NetConfig.h"
#include "ostrel/Log.h"
#include "ostrel/Thread.h"

using Clock = std::chrono::steady_clock;

// A chunk of memory that the receiving thread fills with datagrams, one
// after the other, and the server thread handles in the same order. Each
// side keeps to its own fields but `committed` and `closed`, which the
// receiving thread raises and the server thread reads.
struct DAQServer::Chunk {
    static constexpr std::size_t BYTES = std::size_t{256} << 10;
    static constexpr unsigned ENTRIES = 2048;
    // A datagram longer than its slot lies in a block of its own.
    enum Flags : std::uint16_t { ok = 0, truncated = 1, apart = 2 };
    struct Entry {
        std::uint32_t offset;
        std::uint32_t length;
        std::uint32_t address;   // the sender's, in network order
        std::uint16_t port;      // host order
        std::uint16_t flags;
    };

    // Entries the server thread may handle; all of them once closed.
    alignas(64) std::atomic<unsigned> committed{0};
    std::atomic<bool> closed{false};
    // The receiving thread's.
    alignas(64) unsigned count = 0;
    std::uint32_t used = 0;
    unsigned apart_count = 0;
    // The server thread's.
    alignas(64) unsigned handled = 0;
    Entry entries[ENTRIES];
    std::unique_ptr<std::uint8_t[]> apart_bytes[ENTRIES];
    // The system writes the datagrams here, each in a slot of a multiple of
    // 64 bytes, so that their words can be read in place.
    alignas(64) std::uint8_t bytes[BYTES];

    bool has_room(unsigned entries_wanted, std::size_t bytes_wanted) const
    {
        return count + entries_wanted <= ENTRIES && used + bytes_wanted <= BYTES;
    }
    std::uint8_t* datagram(const Entry& e, unsigned index)
    {
        return e.flags == apart ? apart_bytes[index].get() : bytes + e.offset;
    }
    void reset()
    {
        if (apart_count) {
            for (unsigned i = 0; i < count; ++i)
                apart_bytes[i].reset();
        }
        committed.store(0, std::memory_order_relaxed);
        closed.store(false, std::memory_order_relaxed);
        count = 0;
        used = 0;
        apart_count = 0;
        handled = 0;
    }
};

namespace {

// A queue of one writer and one reader that neither waits for the other.
template <class T>
class SpscRing {
public:
    explicit SpscRing(std::size_t capacity)
    {
        std::size_t n = 2;
        while (n < capacity)
            n <<= 1;
        _slots.resize(n);
    }
    // False when full.
    bool push(T value)
    {
        const std::size_t tail = _tail.load(std::memory_order_relaxed);
        if (tail - _head.load(std::memory_order_acquire) >= _slots.size())
            return false;
        _slots[tail & (_slots.size() - 1)] = value;
        _tail.store(tail + 1, std::memory_order_release);
        return true;
    }
    // The oldest, left in place; T() when empty.
    T front() const
    {
        const std::size_t head = _head.load(std::memory_order_relaxed);
        if (head == _tail.load(std::memory_order_acquire))
            return T();
        return _slots[head & (_slots.size() - 1)];
    }
    void pop() { _head.store(_head.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    std::size_t size() const { return _tail.load(std::memory_order_acquire) - _head.load(std::memory_order_acquire); }

private:
    std::vector<T> _slots;
    alignas(64) std::atomic<std::size_t> _head{0};
    alignas(64) std::atomic<std::size_t> _tail{0};
};

} // namespace

// The chunks between the two threads: those being filled or handled, in
// order, and the spare ones the receiving thread fills next. Chunks are
// made while the budget allows and kept while they are used. Memory new to
// the process is what a backlog can least afford: each page costs a fault
// and its clearing, many times a datagram's handling where processors are
// short (and more in a virtual machine), so a chunk given back while the
// backlog comes and goes would be made again at that price. Spares that go
// unused for a while are given back, a share at a time, down to a few.
struct DAQServer::Pool {
    // Spare chunks kept however long they go unused.
    static constexpr std::size_t RESERVE = 8;
    // Spares beyond those, unused for this long, go back: half of them (the
    // odd one too), at most this many at once.
    static constexpr auto UNUSED_TIME = std::chrono::seconds(1);
    static constexpr std::size_t GIVE_BACK_MOST = 64;
    // Datagrams taken from the socket in one call.
    static constexpr unsigned READ = 64;

    explicit Pool(std::size_t budget)
        : max_chunks(std::max<std::size_t>(2, budget / sizeof(Chunk))), full(max_chunks), spare(max_chunks)
    {
        for (unsigned i = 0; i < READ; ++i)
            headers[i] = mmsghdr{};
    }
    ~Pool()
    {
        for (SpscRing<Chunk*>* ring : {&full, &spare}) {
            while (Chunk* c = ring->front()) {
                ring->pop();
                delete c;
            }
        }
    }

    const std::size_t max_chunks;
    SpscRing<Chunk*> full;    // receiving thread -> server thread
    SpscRing<Chunk*> spare;   // server thread -> receiving thread
    std::atomic<std::size_t> made{0};
    alignas(64) std::atomic<bool> server_sleeps{false};

    // The receiving thread's: the fewest spares since the last give-back,
    // the ones it did not need.
    std::size_t fewest_spares = 0;
    Clock::time_point looked{};
    void give_back_unused(Clock::time_point now)
    {
        fewest_spares = std::min(fewest_spares, spare.size());
        if (now - looked < UNUSED_TIME)
            return;
        std::size_t excess = fewest_spares > RESERVE ? fewest_spares - RESERVE : 0;
        excess = std::min(GIVE_BACK_MOST, (excess + 1) / 2);
        for (; excess > 0; --excess) {
            Chunk* c = spare.front();
            if (!c)
                break;
            spare.pop();
            delete c;
            made.fetch_sub(1);
        }
        looked = now;
        fewest_spares = spare.size();
    }

    // The receiving thread's: its chunk, the slot size in it (which follows
    // the longest datagrams of late), and where the part of a datagram
    // longer than its slot goes (and the whole one while the budget is
    // full; a cache line between the buffers keeps their heads out of one
    // cache set).
    static constexpr std::size_t STRIDE = BUFFER_SIZE + 64;
    Chunk* current = nullptr;
    std::size_t slot = 512;
    // Datagrams per call: as many slots as a chunk holds, at most.
    unsigned per_call() const { return static_cast<unsigned>(std::min<std::size_t>(READ, Chunk::BYTES / slot)); }
    mmsghdr headers[READ];
    iovec vectors[READ][2];
    sockaddr_in senders[READ];
    alignas(8) std::uint8_t control[READ][CMSG_SPACE(sizeof(std::uint32_t))];
    std::unique_ptr<std::uint8_t[]> storage{new std::uint8_t[READ * STRIDE + 64]};
    std::uint8_t* buffers = storage.get() + (64 - reinterpret_cast<std::uintptr_t>(storage.get()) % 64) % 64;
    std::uint8_t* spill(unsigned i) { return buffers + static_cast<std::size_t>(i) * STRIDE; }
};

// The receiving thread's own count from each of its starts, on its stack:
// the longest datagram since the slot size was last fitted and the
// datagrams until it is fitted again, so that it follows the longest of the
// last few thousand; the datagrams and bytes taken since the last wait, and
// when that wait began.
struct DAQServer::Intake {
    std::uint32_t longest = 0;
    unsigned until_look = 0;
    Clock::time_point cycle = Clock::now();
    unsigned taken = 0;
    std::size_t taken_bytes = 0;
};

namespace {

// Datagrams handled per wake-up before the timers get their turn (one
// end_of_batch), and per batch (one look at the clock).
constexpr int DRAIN_LIMIT = 4096;
constexpr unsigned BATCH = 64;
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
// priority, which only it asks for: it sleeps most of the time.
constexpr int RECEIVER_RT_PRIORITY = 1;
// Receiving threads of the process at real-time priority.
std::atomic<int> realtime_receivers{0};

// While datagrams stream in, the receiving thread does not wait on the
// socket, which would wake it for every few of them: it lets them gather in
// the socket buffer for a few milliseconds and then takes them all, so that
// its cost and the server thread's wake-ups go by the millisecond, not the
// datagram (a wake-up costs more than a thousand datagrams' handling where
// processors sleep between them). It waits so only above this rate, and
// only as long as a quarter of the socket buffer lasts.
constexpr double GATHER_RATE = 2000.0;
constexpr auto GATHER_TIME = std::chrono::microseconds(4000);
constexpr auto GATHER_MIN = std::chrono::microseconds(50);
// What the system counts per datagram in its socket buffer beyond the bytes.
constexpr double SOCKET_OVERHEAD = 1024.0;
// The server thread is told of new datagrams at least this often while the
// socket has more.
constexpr unsigned COMMIT_EVERY = 256;
// Datagrams handled between two waits from which on the server thread takes
// them to be streaming in.
constexpr int STREAMING = 64;
// How often losses are said.
constexpr auto REPORT_PERIOD = std::chrono::seconds(1);

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

std::string megabytes(double bytes)
{
    char text[32];
    const double mb = bytes / 1048576.0;
    if (mb < 1)
        std::snprintf(text, sizeof text, "%.0f kB", bytes / 1024.0);
    else
        std::snprintf(text, sizeof text, mb < 10 ? "%.1f MB" : "%.0f MB", mb);
    return text;
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

DAQServer::DAQServer(const std::string& interface, int port)
    : _port(port), _interface(interface), _budget(fenrow_net::receive_budget(DEFAULT_RECEIVE_BUDGET))
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
    // Every datagram then says how many the system has dropped so far.
    setsockopt(_fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    // No address reuse: a second program bound to the same address and port
    // would take the boards' datagrams from the first.

    // The socket buffer keeps the boards' datagrams while the receiving
    // thread waits for a processor. Beyond the system's limit only where the
    // program may (CAP_NET_ADMIN); else the system grants up to its limit.
    // The system reports twice what it granted.
    int asked = RECEIVE_BUFFER;
    if (setsockopt(_fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0)
        setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    int granted = 0;
    socklen_t len = sizeof granted;
    if (getsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0)
        granted = 0;
    _granted = granted;
    if (granted / 2 < asked) {
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
    log << "DAQServer: socket buffer of " << megabytes(_granted) << " granted (the system counts its bookkeeping too), "
        << megabytes(static_cast<double>(_budget)) << " for datagrams waiting to be handled" << std::endl;
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
    if (!_pool)
        _pool = std::make_unique<Pool>(_budget);
    _receiver = std::thread([this] {
        pthread_setname_np(pthread_self(), "DAQreceiver");
        const bool realtime = take_realtime_processor();
        receive();
        if (realtime)
            realtime_receivers.fetch_sub(1);
    });
    // Raised only where the program has more than one processor
    // (set_thread_nice).
    _thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "DAQserver");
        Ostrel::set_thread_nice(SERVER_NICE);
        _thread_id = std::this_thread::get_id();
        serve();
        Ostrel::ostream quit(Ostrel::LOG_INFO);
        quit << "Ostrel:: Quitting the thread" << std::endl;
    });
}

bool DAQServer::take_realtime_processor()
{
    // Under a flood the receiving thread never sleeps: at real-time
    // priority it holds its processor against every other thread of the
    // program, which then needs one more beyond those such threads hold.
    const int processors = Ostrel::processors();
    const sched_param fifo{RECEIVER_RT_PRIORITY};
    bool realtime = realtime_receivers.fetch_add(1) + 1 < processors
                    && pthread_setschedparam(pthread_self(), SCHED_FIFO, &fifo) == 0;
    if (!realtime)
        realtime_receivers.fetch_sub(1);
    const bool raised = !realtime && Ostrel::set_thread_nice(SERVER_NICE);
    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << "DAQServer: the receiving thread runs at "
        << (realtime ? "real-time priority"
                     : raised ? "raised priority"
                              : processors < 2 ? "ordinary priority: the program has one processor"
                                               : "ordinary priority")
        << std::endl;
    return realtime;
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

// ---- losses ------------------------------------------------------------------

void DAQServer::note_system_drops(std::uint32_t total)
{
    // The system's count only grows (and wraps around).
    std::uint32_t seen = _system_drops.load(std::memory_order_relaxed);
    while (static_cast<std::int32_t>(total - seen) > 0
           && !_system_drops.compare_exchange_weak(seen, total, std::memory_order_relaxed)) {
    }
}

DAQServer::Losses DAQServer::losses()
{
    // Datagrams tell the count as they come; dropped ones after the last
    // one received only the socket does.
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (_fd >= 0 && getsockopt(_fd, SOL_SOCKET, SO_MEMINFO, info, &len) == 0
        && len > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) {
        note_system_drops(info[SK_MEMINFO_DROPS]);
        _granted = static_cast<int>(info[SK_MEMINFO_RCVBUF]);
    }
    Losses l;
    l.system = _system_drops.load(std::memory_order_relaxed);
    l.budget = _budget_drops.load(std::memory_order_relaxed);
    return l;
}

void DAQServer::report_losses()
{
    const auto now = Clock::now();
    if (now - _report_stamp < REPORT_PERIOD)
        return;
    _report_stamp = now;
    const Losses all = losses();
    const Losses fresh = all.since(_reported);
    _reported = all;
    if (fresh.total() == 0)
        return;
    Ostrel::ostream log(Ostrel::LOG_WARNING);
    log << "DAQServer: " << loss_text(fresh) << " (" << all.total() << " in all)" << std::endl;
}

std::string DAQServer::loss_text(const Losses& l) const
{
    std::string text = std::to_string(l.total()) + " datagrams lost";
    if (l.system)
        text += ", " + std::to_string(l.system) + " dropped by the system: the socket buffer of " +
                megabytes(_granted) + " was full";
    if (l.budget)
        text += ", " + std::to_string(l.budget) + " for want of room: the receive budget of " +
                megabytes(static_cast<double>(_budget)) + " was full";
    return text;
}

// ---- receiving thread ------------------------------------------------------------

namespace {

// The system's count of dropped datagrams that came with a datagram.
bool dropped_so_far(msghdr& h, std::uint32_t& total)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
            std::memcpy(&total, CMSG_DATA(c), sizeof total);
            return true;
        }
    }
    return false;
}

} // namespace

void DAQServer::receive()
{
    Intake intake;
    while (!_stop_request) {
        Chunk* c = room_for_call();
        const int n = read_datagrams(c);
        if (n > 0) {
            take_datagrams(c, n, intake);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "DAQServer: Error getting data\n\t" << system_error() << std::endl;
            // The program's own log text, spelled as it stands.
            log << "Error receiveing packet" << std::endl;
        }
        commit();
        if (!wait_for_datagrams(intake))
            break;
    }
    // What was read waits for the server thread, now or after a restart.
    close_current();
    signal_fd(_wake_fd);
}

void DAQServer::commit()
{
    Pool& p = *_pool;
    if (Chunk* c = p.current) {
        // Sequentially consistent, as the server thread's "asleep" and its
        // look at the count: were this store allowed to pass the look at
        // "asleep" below, each thread could miss the other's and the server
        // thread sleep on a datagram until its next timer, half a second
        // later.
        c->committed.store(c->count, std::memory_order_seq_cst);
        if (p.server_sleeps.load())
            signal_fd(_wake_fd);
    }
}

void DAQServer::close_current()
{
    Pool& p = *_pool;
    if (Chunk* c = p.current) {
        commit();
        c->closed.store(true, std::memory_order_release);
        p.current = nullptr;
    }
}

DAQServer::Chunk* DAQServer::room_for_call()
{
    Pool& p = *_pool;
    const unsigned calls = p.per_call();
    if (p.current && p.current->has_room(calls, calls * p.slot))
        return p.current;
    close_current();
    Chunk* next = p.spare.front();
    if (next) {
        p.spare.pop();
        p.fewest_spares = std::min(p.fewest_spares, p.spare.size());
    } else if (p.made.load() < p.max_chunks) {
        next = new Chunk;
        p.made.fetch_add(1);
    } else {
        return nullptr;
    }
    // Never full: it has room for every chunk the budget allows.
    p.full.push(next);
    p.current = next;
    return next;
}

int DAQServer::read_datagrams(Chunk* c)
{
    // The system writes each datagram straight into the chunk, in a slot of
    // its own; what does not fit the slot goes to a buffer of the call's.
    // Without a chunk the datagrams are read to be counted.
    Pool& p = *_pool;
    const std::size_t slot = p.slot;
    const unsigned vlen = c ? p.per_call() : Pool::READ;
    for (unsigned i = 0; i < vlen; ++i) {
        msghdr& h = p.headers[i].msg_hdr;
        if (c) {
            p.vectors[i][0] = iovec{c->bytes + c->used + i * slot, slot};
            p.vectors[i][1] = iovec{p.spill(i), BUFFER_SIZE - slot};
        } else {
            p.vectors[i][0] = iovec{p.spill(i), BUFFER_SIZE};
        }
        h.msg_name = &p.senders[i];
        h.msg_namelen = sizeof(sockaddr_in);
        h.msg_iov = p.vectors[i];
        h.msg_iovlen = c ? 2 : 1;
        h.msg_control = p.control[i];
        h.msg_controllen = sizeof p.control[i];
        h.msg_flags = 0;
    }
    return ::recvmmsg(_fd, p.headers, vlen, MSG_DONTWAIT, nullptr);
}

void DAQServer::take_datagrams(Chunk* c, int n, Intake& in)
{
    Pool& p = *_pool;
    std::uint32_t total = 0;
    if (dropped_so_far(p.headers[n - 1].msg_hdr, total))
        note_system_drops(total);
    in.taken += static_cast<unsigned>(n);
    if (!c) {
        _budget_drops.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
        return;
    }
    // The slot size they were read with.
    const std::size_t slot = p.slot;
    const std::uint32_t base = c->used;
    std::uint32_t longest = in.longest;
    std::size_t bytes = 0;
    for (int i = 0; i < n; ++i) {
        const msghdr& h = p.headers[i].msg_hdr;
        const std::uint32_t length = p.headers[i].msg_len;
        const unsigned index = c->count++;
        Chunk::Entry& e = c->entries[index];
        e.offset = base + static_cast<std::uint32_t>(i * slot);
        e.length = length;
        e.address = p.senders[i].sin_addr.s_addr;
        e.port = ntohs(p.senders[i].sin_port);
        if (length == 0 || (h.msg_flags & MSG_TRUNC)) {
            e.flags = Chunk::truncated;
        } else if (length <= slot) {
            e.flags = Chunk::ok;
        } else {
            // Longer than its slot: made whole in a block of its own.
            e.flags = Chunk::apart;
            std::unique_ptr<std::uint8_t[]> whole(new std::uint8_t[(length + 7u) & ~7u]);
            std::memcpy(whole.get(), c->bytes + e.offset, slot);
            std::memcpy(whole.get() + slot, p.spill(static_cast<unsigned>(i)), length - slot);
            c->apart_bytes[index] = std::move(whole);
            ++c->apart_count;
        }
        longest = std::max(longest, length);
        bytes += length;
    }
    in.taken_bytes += bytes;
    c->used = base + static_cast<std::uint32_t>(n * slot);
    // Slots grow at once for a longer datagram, and shrink to the longest
    // of late now and then.
    const auto fit = [](std::uint32_t length) {
        return std::clamp<std::size_t>((length + 63u) & ~std::size_t{63}, 64, BUFFER_SIZE);
    };
    if (longest > p.slot)
        p.slot = fit(longest);
    if (in.until_look <= static_cast<unsigned>(n)) {
        p.slot = fit(longest);
        longest = 0;
        in.until_look = 4096;
    } else {
        in.until_look -= static_cast<unsigned>(n);
    }
    in.longest = longest;
    if (c->count - c->committed.load(std::memory_order_relaxed) >= COMMIT_EVERY)
        commit();
}

bool DAQServer::wait_for_datagrams(Intake& in)
{
    // While datagrams stream in, they gather for a while before they are
    // taken; else the next one wakes this thread.
    Pool& p = *_pool;
    const auto now = Clock::now();
    p.give_back_unused(now);
    const double seconds = std::chrono::duration<double>(now - in.cycle).count();
    const double rate = seconds > 0 ? in.taken / seconds : 0.0;
    std::chrono::nanoseconds gather{0};
    if (rate > GATHER_RATE) {
        const double per_datagram = static_cast<double>(in.taken_bytes) / in.taken + SOCKET_OVERHEAD;
        const double lasts = 0.25 * _granted / (rate * per_datagram);
        gather = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(lasts));
        gather = std::clamp<std::chrono::nanoseconds>(gather, GATHER_MIN, GATHER_TIME);
    }
    in.cycle = now;
    in.taken = 0;
    in.taken_bytes = 0;
    pollfd fds[2] = {{_receiver_wake_fd, POLLIN, 0}, {_fd, POLLIN, 0}};
    int rc;
    if (gather.count() > 0) {
        const timespec ts{0, static_cast<long>(gather.count())};
        rc = ::ppoll(fds, 1, &ts, nullptr);
    } else {
        rc = ::poll(fds, 2, MAX_WAIT_MS);
    }
    if ((rc < 0 && errno != EINTR) || (fds[1].revents & POLLNVAL)) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "DAQserver: error polling for requests. Stop serving" << std::endl;
        _receiver_failed = true;
        signal_fd(_wake_fd);
        return false;
    }
    if (fds[0].revents & POLLIN)
        drain_fd(_receiver_wake_fd);
    return true;
}

// ---- server thread ---------------------------------------------------------------

std::chrono::steady_clock::time_point DAQServer::batch_time() const
{
    return on_server_thread() ? _batch_time : Clock::now();
}

void DAQServer::handle_entries(Chunk& c, unsigned begin, unsigned end)
{
    _batch_time = Clock::now();
    // Datagrams come in runs from one board: its address is written out
    // once per run rather than once per datagram.
    std::uint32_t last_address = 0;
    std::string ip;
    for (unsigned i = begin; i < end; ++i) {
        const Chunk::Entry& e = c.entries[i];
        if (ip.empty() || e.address != last_address) {
            last_address = e.address;
            in_addr a{};
            a.s_addr = e.address;
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &a, text, sizeof text);
            ip = text;
        }
        const int count = static_cast<int>(e.length);
        // Counted as each goes to its handler, so that the count and what
        // the handlers have taken agree between datagrams. This thread
        // alone writes it.
        _received.store(_received.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        if (e.flags == Chunk::truncated) {
            _socket_drops.fetch_add(1, std::memory_order_relaxed);
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "DAQServer: dropped a datagram of " << (count ? "more than " : "") << count << " bytes from "
                << ip << ":" << e.port << std::endl;
            continue;
        }
        // Rewritten where it lies: nothing else reads it.
        std::uint8_t* bytes = c.datagram(e, i);
        filter(bytes, count);
        handle_request(ip, e.port, reinterpret_cast<std::uint16_t*>(bytes), count);
    }
}

int DAQServer::handle_chunks()
{
    Pool& p = *_pool;
    int total = 0;
    while (total < DRAIN_LIMIT && !_stop_request) {
        Chunk* c = p.full.front();
        if (!c)
            break;
        // Closed first: a closed chunk's count is final.
        const bool closed = c->closed.load(std::memory_order_acquire);
        const unsigned committed = c->committed.load(std::memory_order_acquire);
        if (c->handled < committed) {
            const unsigned end = std::min(committed, c->handled + BATCH);
            handle_entries(*c, c->handled, end);
            total += static_cast<int>(end - c->handled);
            c->handled = end;
            continue;
        }
        if (!closed)
            break;
        p.full.pop();
        c->reset();
        // The receiving thread gives back what it does not need.
        if (!p.spare.push(c)) {
            delete c;
            p.made.fetch_sub(1);
        }
    }
    // Once for all that were handled: the events go on to their queues in
    // one hand-over per wake-up, and the threads that take them are woken
    // as seldom as this one.
    if (total)
        end_of_batch();
    return total;
}

void DAQServer::wait_for_chunks(bool streaming)
{
    Pool& p = *_pool;
    if (streaming) {
        // Datagrams stream in: the next ones come within the receiving
        // thread's gathering time. This thread looks again by itself rather
        // than being woken for them, which would cost the receiving thread
        // a system call each time.
        const int gathering = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(GATHER_TIME).count());
        pollfd wake{_wake_fd, POLLIN, 0};
        if (::poll(&wake, 1, std::min(gathering, poll_timeout_ms())) > 0)
            drain_fd(_wake_fd);
        return;
    }
    const auto nothing_new = [&p] {
        const Chunk* c = p.full.front();
        return !c || (!c->closed.load() && c->handled == c->committed.load());
    };
    // Said before the last look, so that either this sees a new datagram or
    // the receiving thread sees it asleep and wakes it.
    p.server_sleeps.store(true);
    if (nothing_new() && !_stop_request && !_receiver_failed) {
        pollfd wake{_wake_fd, POLLIN, 0};
        if (::poll(&wake, 1, poll_timeout_ms()) > 0)
            drain_fd(_wake_fd);
    }
    p.server_sleeps.store(false);
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
    report_losses();
}

void DAQServer::serve()
{
    {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Start serving" << "[" << std::this_thread::get_id() << "]" << std::endl;
    }
    _running = true;
    // The periods count from the loop's first turn, when the idle callbacks
    // (a first knock) run, not from when the callbacks were added: the
    // thread may start a good while after that on a busy machine.
    _idle_stamp = Clock::now();
    for (TimedCallBack& t : _timed_funcs)
        t.stamp = _idle_stamp;
    int since_wait = 0;
    while (!_stop_request) {
        const int handled = handle_chunks();
        since_wait += handled;
        if (handled == 0) {
            if (_receiver_failed)
                break;
            wait_for_chunks(since_wait >= STREAMING);
            since_wait = 0;
        }
        if (!_stop_request)
            run_timers();
    }
    _running = false;
}
