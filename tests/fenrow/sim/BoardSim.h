// A simulated readout board on a loopback address: answers knocks, acknowledges
// commands (or not, or late, or with an error), records every datagram it
// receives, and sends data packets of any readout mode to the host. Runs on a
// thread of its own; several can run side by side on 127.0.0.2, 127.0.0.3 ...
#ifndef BRISKO_TESTS_FENROW_BOARDSIM_H
#define BRISKO_TESTS_FENROW_BOARDSIM_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fenrow/net/Packets.h"

namespace fenrow_sim {

using Clock = std::chrono::steady_clock;

// How the board answers commands of one code.
struct AckRule {
    bool answer = true;     // false: never acknowledge
    int error = 0;          // error byte of the acknowledgement
    int error_count = -1;   // acknowledgements that carry the error; -1 all
    double delay = 0.0;     // seconds before the acknowledgement goes
};

struct Datagram {
    Clock::time_point when;
    std::string ip;
    int port = 0;
    std::vector<std::uint8_t> bytes;
    // Host-order words (decoded with the plug-in's decoder).
    std::vector<std::uint16_t> words() const;
    int code() const;   // w1 & 0x7F, or -1 when too short
};

// What data packets to send.
struct DataSpec {
    int stream = 1;
    int mode = RO_SERIAL;
    int nchips = 1;
    int channels = 128;       // per chip
    int hits = 1;             // sparse: entries per packet
    int nadj = 2;             // adjacent: channels on each side
    long count = 1;           // packets; 0 until stop_data()
    double rate = 0.0;        // packets per second; 0 as fast as possible
    double temperature = 36.5;
    // Values as a detector gives them: each channel its own pedestal (500
    // give or take 40) with Gaussian noise of 3 counts. Otherwise the values
    // spread evenly over 2016 .. 2079. Either way the values are a function
    // of the event counter, so that a reader can check what it was sent.
    bool detector = false;
};

// A detector-like value of a channel in the event with the counter.
std::uint16_t detector_value(std::uint16_t evtcnt, int channel);

// One data packet as the DataSpec describes it, with the given event counter
// and board time.
// Scope packets carry the serial layout; the host does not read them.
std::vector<std::uint8_t> make_data_packet(const DataSpec& spec, std::uint16_t evtcnt, std::uint32_t time);

class BoardSim {
public:
    struct Options {
        std::string address = "127.0.0.2";
        int port = 0;                       // 0: the boards' port (environment)
        bool listen_broadcast = true;       // also hear knocks sent to 127.255.255.255
        std::uint32_t firmware = 0x010203;
        bool short_reply = false;           // four-word knock reply
        bool answer_knock = true;
        std::string host_ip;                // where data go; empty: the last knock's sender
        int host_port = 0;
    };

    explicit BoardSim(const Options& options);
    ~BoardSim();
    BoardSim(const BoardSim&) = delete;
    BoardSim& operator=(const BoardSim&) = delete;

    // Binds and starts the thread; false (with the reason in error()) when a
    // socket cannot be bound.
    bool start();
    void stop();
    const std::string& error() const { return _error; }
    const std::string& address() const { return _options.address; }
    int port() const { return _options.port; }

    // Code 0: the rule for every code without its own.
    void set_ack(int code, const AckRule& rule);
    // Called on the board's thread for every start or stop command, as the
    // board carries it out: just before its acknowledgement goes (also a
    // late one), or when it comes for a command not acknowledged.
    using StartStopHook = std::function<void(int stream, bool start)>;
    void set_start_stop_hook(StartStopHook hook);
    // The stream these data name sends them (a count of 0: until stopped)
    // from its start to its stop, as a board does; a stop is acknowledged
    // once its last packet has gone. The counters go on across stops.
    void follow_start_stop(const DataSpec& data);
    void set_knock_reply(bool answer, bool short_reply, std::uint32_t firmware);

    std::vector<Datagram> received();
    // Received datagrams of the code (all with -1).
    std::vector<Datagram> received(int code);
    std::size_t count(int code);
    // Waits until n datagrams of the code have come (all codes with -1).
    bool wait_for(int code, std::size_t n, double seconds);
    void clear_received();
    std::uint64_t acks_sent() const { return _acks_sent.load(); }

    // The host that data go to; empty until known.
    std::string host_ip();
    int host_port();
    bool wait_for_host(double seconds);

    // Sends one datagram to the host: 0 or -1.
    int send_raw(const void* bytes, std::size_t count);
    int send_raw(const std::vector<std::uint8_t>& bytes) { return send_raw(bytes.data(), bytes.size()); }
    // Sends the datagrams to the host in as few system calls as it can.
    // Returns how many went.
    std::size_t send_many(const std::vector<std::vector<std::uint8_t>>& datagrams);
    // Sends spec.count packets (count 0 is taken as 1) at the rate, on the
    // calling thread. Returns the packets sent.
    long send_data(const DataSpec& spec);
    // The same on a thread of its own until the count is reached or
    // stop_data().
    void start_data(const DataSpec& spec);
    long stop_data();
    bool data_running() const { return _data_running.load(); }
    std::uint64_t data_sent() const { return _data_sent.load(); }

private:
    struct LateAck {
        Clock::time_point due;
        std::string ip;
        int port;
        std::vector<std::uint8_t> bytes;
        int stream = 0;   // of a start or stop command, else 0
        bool start = false;
    };

    void run();
    void on_datagram(int fd, const std::uint8_t* bytes, std::size_t n, const std::string& ip, int port);
    int send_to(const std::string& ip, int port, const void* bytes, std::size_t count);
    long data_loop(DataSpec spec);

    Options _options;
    std::string _error;
    int _fd = -1;
    int _bcast_fd = -1;
    int _wake_fd = -1;
    std::thread _thread;
    std::atomic<bool> _stop{false};

    std::mutex _mutex;
    std::condition_variable _cond;
    std::vector<Datagram> _received;
    std::map<int, AckRule> _rules;
    std::vector<LateAck> _late;
    StartStopHook _start_stop;
    std::string _host_ip;
    int _host_port = 0;

    std::thread _data_thread;
    std::atomic<bool> _data_stop{false};
    std::atomic<bool> _data_running{false};
    std::atomic<long> _data_result{0};
    std::atomic<std::uint64_t> _data_sent{0};
    std::atomic<std::uint64_t> _acks_sent{0};
    std::atomic<std::uint32_t> _evtcnt{0};
};

} // namespace fenrow_sim

#endif
