// A UDP server on the board network: one IPv4 socket bound to the host's
// board-network address, one thread, "DAQreceiver", that does nothing but
// read the socket into memory, and one, "DAQserver", that handles the
// datagrams in the order they came and runs the periodic work.
//
// The receiving thread never waits for the rest of the program: what it
// reads waits in chunks of memory, up to the receive budget, until the
// server thread gets to it, so that a server thread held up for a while
// loses nothing. A datagram lost on the way (the system's socket buffer was
// full, or the budget) is counted and said in the log once a second while
// it happens.
#ifndef BRISKO_FENROW_NET_DAQSERVER_H
#define BRISKO_FENROW_NET_DAQSERVER_H

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DAQServer {
public:
    using CallBackFunc = bool (*)(void* data);
    struct CallBack {
        CallBackFunc func;
        void* data;
    };
    struct TimedCallBack : CallBack {
        double period;
        std::chrono::steady_clock::time_point stamp;
    };

    // Largest datagram taken; a longer one is dropped.
    static constexpr std::size_t BUFFER_SIZE = 8192;
    // Socket receive buffer asked of the system: the most it grants, where
    // the program may (CAP_NET_ADMIN), else as much as its limit allows
    // (net.core.rmem_max). It takes memory only while datagrams wait in it.
    static constexpr int RECEIVE_BUFFER = INT_MAX / 2;
    // Memory for the datagrams read and not yet handled.
    static constexpr std::size_t DEFAULT_RECEIVE_BUDGET = std::size_t{256} << 20;

    // Datagrams lost before any handler saw them.
    struct Losses {
        std::uint64_t system = 0;   // dropped by the system: the socket buffer was full
        std::uint64_t budget = 0;   // read, but the receive budget was full
        std::uint64_t total() const { return system + budget; }
        // Those lost since `before` was taken.
        Losses since(const Losses& before) const { return {system - before.system, budget - before.budget}; }
    };

    DAQServer(const std::string& interface, int port);
    virtual ~DAQServer();
    DAQServer(const DAQServer&) = delete;
    DAQServer& operator=(const DAQServer&) = delete;

    // Creates and binds the socket, then after_setup(). 0, -1 when the socket
    // cannot be created, -4 when it cannot be bound.
    int init_server();
    // Starts the server and receiving threads (once).
    void start_thread();
    // Ends both loops and joins their threads (the server thread only when
    // called from another); any number of times, also before the loop has
    // begun. Datagrams read but not yet handled wait for the next start.
    void stop();
    // stop(), then closes the socket.
    void close();

    // 0, or -1 after logging.
    int send_packet(const std::string& ip, int port, const void* bytes, std::size_t count);
    // 1 when the socket is readable within the time, 0 on time-out, -1 on
    // error.
    int wait_for_data(int milliseconds);

    // Before start_thread() or from the server thread. An idle callback runs
    // on every turn of the loop until it returns false; a timed one every
    // period seconds, counted from the loop's start, until it returns false.
    void add_idle_func(CallBackFunc func, void* data);
    void add_timed_func(double period, CallBackFunc func, void* data);
    // How often idle() runs (default 0.5 s); before start_thread().
    void set_idle_period(double seconds) { _idle_period = seconds; }
    // The memory that datagrams read and not yet handled may take (default
    // FENROW_RECEIVE_BUDGET megabytes, else DEFAULT_RECEIVE_BUDGET); before
    // the first start_thread().
    void set_receive_budget(std::size_t bytes) { _budget = bytes; }
    std::size_t receive_budget() const { return _budget; }

    int fileno() const { return _fd; }
    // The bound port (the one the system chose when 0 was asked for).
    int get_port() const { return _port; }
    std::string get_ip_address() const;
    bool is_running() const { return _running.load(); }
    bool on_server_thread() const { return std::this_thread::get_id() == _thread_id.load(); }
    // The socket buffer the system granted, in bytes (as the system counts
    // them: the datagrams with their bookkeeping).
    int receive_buffer() const { return _granted.load(); }

    // Datagrams handed to the handlers or dropped just before (empty, or
    // longer than BUFFER_SIZE: socket_drop_count()).
    std::uint64_t received_count() const { return _received.load(); }
    std::uint64_t socket_drop_count() const { return _socket_drops.load(); }
    // Datagrams lost so far, since the socket was made.
    Losses losses();
    // "<n> datagrams lost" and why, for the log.
    std::string loss_text(const Losses& losses) const;

protected:
    // One datagram in host-order words, from the server thread.
    virtual void handle_request(const std::string& ip, int port, std::uint16_t* words, int count);
    // Rewrites a received datagram in place before handle_request.
    virtual void filter(std::uint8_t* bytes, int count);
    virtual void idle();
    virtual void after_setup();
    // After the datagrams of one wake-up have been handled (up to a few
    // thousand that came one after the other): work a derived server
    // gathers per datagram can be finished here once for all of them.
    virtual void end_of_batch();
    // When the batch being handled (a few dozen datagrams) was taken up; for
    // a datagram handed in by another thread, now.
    std::chrono::steady_clock::time_point batch_time() const;

private:
    struct Chunk;
    struct Pool;
    struct Intake;

    void serve();
    // The receiving thread's priority: real-time where the program has a
    // processor for the rest of it (true), else raised where it has more
    // than one, else ordinary.
    static bool take_realtime_processor();
    // The receiving thread's loop, and its steps below.
    void receive();
    // The server thread may handle the current chunk's datagrams read so
    // far; it is woken when it sleeps.
    void commit();
    // The current chunk gets no more: the server thread handles the rest of
    // it and gives it back.
    void close_current();
    // A chunk with room for one call's datagrams, the current one or the
    // next; null when the budget has none.
    Chunk* room_for_call();
    // One call for what the socket holds, into the chunk's slots, or to be
    // counted when there is no chunk: recvmmsg's result, errno as it left it.
    int read_datagrams(Chunk* chunk);
    // The n datagrams of that call entered in the chunk (or counted as lost
    // to the budget without one), the slot size fitted to them.
    void take_datagrams(Chunk* chunk, int n, Intake& intake);
    // The socket is empty: lets datagrams gather while they stream in, else
    // waits for the next or a wake-up. False when the wait failed, which
    // ends the thread.
    bool wait_for_datagrams(Intake& intake);
    // Handles what the receiving thread has read, up to a limit so that the
    // timers still run under a flood. Returns the datagrams handled.
    int handle_chunks();
    void handle_entries(Chunk& chunk, unsigned begin, unsigned end);
    // Until datagrams come, a wake-up or the next timer; while they stream
    // in, a millisecond at most.
    void wait_for_chunks(bool streaming);
    void run_timers();
    int poll_timeout_ms() const;
    // The losses of the last second, said once a second while there are any.
    void report_losses();
    void note_system_drops(std::uint32_t total);

    std::atomic<bool> _stop_request{false};
    std::atomic<bool> _running{false};
    std::atomic<bool> _receiver_failed{false};
    int _fd = -1;
    int _wake_fd = -1;            // wakes the server thread
    int _receiver_wake_fd = -1;   // wakes the receiving thread
    int _port;
    std::atomic<int> _granted{0};
    std::string _interface;
    std::string _address;
    std::thread _thread;
    std::thread _receiver;
    std::atomic<std::thread::id> _thread_id{};
    std::mutex _thread_mutex;

    std::list<CallBack> _idle_funcs;
    std::list<TimedCallBack> _timed_funcs;
    double _idle_period = 0.5;
    std::chrono::steady_clock::time_point _idle_stamp{};

    std::size_t _budget;
    std::unique_ptr<Pool> _pool;
    std::chrono::steady_clock::time_point _batch_time{};
    std::atomic<std::uint64_t> _received{0};
    std::atomic<std::uint64_t> _socket_drops{0};
    // The system's count of datagrams it dropped, as last seen, and the
    // datagrams the full budget cost.
    std::atomic<std::uint32_t> _system_drops{0};
    std::atomic<std::uint64_t> _budget_drops{0};
    // Server thread: the losses already said, and when.
    Losses _reported;
    std::chrono::steady_clock::time_point _report_stamp{};
};

// The first IPv4 address of an up interface that begins with "11.", or with
// an empty name the first loopback address; empty when there is none.
std::string get_ip_address(const std::string& interface);

#endif
