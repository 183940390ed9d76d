// A UDP server on the board network: one IPv4 socket bound to the host's
// board-network address, one thread, "DAQreceiver", that does nothing but
// read the socket, and one, "DAQserver", that handles the datagrams in the
// order they came and runs the periodic work.
#ifndef BRISKO_FENROW_DAQSERVER_H
#define BRISKO_FENROW_DAQSERVER_H

#include <atomic>
#include <chrono>
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
    // Receive buffer asked of the system: some tens of milliseconds of the
    // fastest boards' datagrams.
    static constexpr int RECEIVE_BUFFER = 32 << 20;

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
    // period seconds until it returns false.
    void add_idle_func(CallBackFunc func, void* data);
    void add_timed_func(double period, CallBackFunc func, void* data);
    // How often idle() runs (default 0.5 s); before start_thread().
    void set_idle_period(double seconds) { _idle_period = seconds; }

    int fileno() const { return _fd; }
    // The bound port (the one the system chose when 0 was asked for).
    int get_port() const { return _port; }
    std::string get_ip_address() const;
    bool is_running() const { return _running.load(); }
    bool on_server_thread() const { return std::this_thread::get_id() == _thread_id.load(); }

    // Datagrams read from the socket, and those dropped before any handler
    // saw them (empty, or longer than BUFFER_SIZE).
    std::uint64_t received_count() const { return _received.load(); }
    std::uint64_t socket_drop_count() const { return _socket_drops.load(); }

protected:
    // One datagram in host-order words, from the server thread.
    virtual void handle_request(const std::string& ip, int port, std::uint16_t* words, int count);
    // Rewrites a received datagram in place before handle_request.
    virtual void filter(std::uint8_t* bytes, int count);
    virtual void idle();
    virtual void after_setup();
    // After the datagrams of one receive call have been handled, before the
    // next call: work a derived server gathers per datagram can be finished
    // here once for all of them.
    virtual void end_of_batch();
    // When the datagrams being handled were taken from the socket (once per
    // receive call); for a datagram handed in by another thread, now.
    std::chrono::steady_clock::time_point batch_time() const;

private:
    struct Batch;
    struct Ring;

    void serve();
    void receive();
    // Handles the batches the receiving thread has filled, up to a limit so
    // that the timers still run under a flood. Returns the datagrams handled.
    int handle_batches();
    void handle_batch(Batch& batch);
    // Until a batch comes, a wake-up or the next timer.
    void wait_for_batch();
    void run_timers();
    int poll_timeout_ms() const;

    std::atomic<bool> _stop_request{false};
    std::atomic<bool> _running{false};
    std::atomic<bool> _receiver_failed{false};
    int _fd = -1;
    int _wake_fd = -1;            // wakes the server thread
    int _receiver_wake_fd = -1;   // wakes the receiving thread
    int _port;
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

    std::unique_ptr<Ring> _ring;
    std::chrono::steady_clock::time_point _batch_time{};
    std::atomic<std::uint64_t> _received{0};
    std::atomic<std::uint64_t> _socket_drops{0};
};

// The first IPv4 address of an up interface that begins with "11.", or with
// an empty name the first loopback address; empty when there is none.
std::string get_ip_address(const std::string& interface);

#endif
