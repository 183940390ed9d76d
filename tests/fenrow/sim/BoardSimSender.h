// The data side of a simulated board at full speed: one stream's data packets
// sent by several threads, each with a socket of its own on the board's
// address (the host knows a board by its address, not its port), with
// sendmmsg. The packets are built once before the first is sent; only their
// time words change. Thread t of n sends the event counters t, t + n,
// t + 2n ... (modulo 65536) in this order, so that counters are unique and
// each thread's are in order; n is 1, 2, 4 or 8 so that this holds across
// the counter's wrap as well.
#ifndef BRISKO_TESTS_FENROW_BOARDSIMSENDER_H
#define BRISKO_TESTS_FENROW_BOARDSIMSENDER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BoardSim.h"

namespace fenrow_sim {

class DataSender {
public:
    // spec.count packets in all (0: until stopped), spec.rate packets per
    // second in all (0: as fast as the threads can).
    DataSender(const std::string& board_address, const std::string& host_ip, int host_port, const DataSpec& spec,
               int threads);
    ~DataSender();
    DataSender(const DataSender&) = delete;
    DataSender& operator=(const DataSender&) = delete;

    static bool valid_threads(int threads) { return threads == 1 || threads == 2 || threads == 4 || threads == 8; }

    // Starts (or resumes after stop()) sending; false, with the reason in
    // error(), when a socket cannot be made.
    bool start();
    // Ends the threads; a later start() goes on with the next counters.
    void stop();
    bool running() const { return !_threads.empty(); }
    // Every packet of the count has gone.
    bool done() const;
    long sent() const { return _sent.load(); }
    // From the first start to the last packet sent.
    double seconds() const;
    const std::string& error() const { return _error; }

private:
    void run(int thread, int fd, Clock::time_point base);
    long share(int thread) const;

    std::string _board;
    std::string _host_ip;
    int _host_port;
    DataSpec _spec;
    int _nthreads;
    std::size_t _packet_size = 0;
    std::size_t _ring_size = 0;
    std::vector<std::uint8_t> _ring;   // packet of counter c at c % _ring_size

    std::vector<std::thread> _threads;
    std::vector<int> _fds;
    std::unique_ptr<std::atomic<long>[]> _progress;   // packets sent per thread
    std::atomic<bool> _stop{false};
    std::atomic<long> _sent{0};
    Clock::time_point _first_start{};
    std::atomic<Clock::rep> _last_send{0};
    std::string _error;
};

} // namespace fenrow_sim

#endif
