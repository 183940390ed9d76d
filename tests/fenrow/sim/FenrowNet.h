// Shared set-up of the board network tests: private loopback ports for each
// test, a log sink that tests can read, and a board manager whose hooks take
// the board layout from the test and keep what reached them.
#ifndef BRISKO_TESTS_FENROW_FENROWNET_H
#define BRISKO_TESTS_FENROW_FENROWNET_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BoardSim.h"
#include "fenrow/Fenrow.h"
#include "fenrow/net/ModuleNode.h"
#include "ostrel/Log.h"

namespace fenrow_test {

// A UDP port free right now on every loopback address the boards use.
int free_port();

// Gives this process its own host and board ports on loopback and sends
// knocks to the loopback broadcast address, so that boards on 127.0.0.2,
// 127.0.0.3 ... hear them.
struct NetEnv {
    NetEnv();
    ~NetEnv();
    int host_port;
    int board_port;
};

// Collects every log line, whatever its level.
class LogCapture : public Ostrel::StreamItem {
public:
    LogCapture();
    ~LogCapture() override;
    long write(const char* text, size_t count) override;

    std::vector<std::string> lines();
    // Lines that contain the text.
    std::vector<std::string> matching(const std::string& text);
    bool contains(const std::string& text) { return !matching(text).empty(); }
    bool wait_for(const std::string& text, double seconds);
    void clear();

private:
    std::mutex _mutex;
    std::vector<std::string> _lines;
};

// Silences the console while it lives (a flood of expected error lines).
struct QuietConsole {
    QuietConsole();
    ~QuietConsole();
    unsigned short mask;
};

struct Layout {
    int nstreams = 2;
    int nchip = 4;
    int chip_type = 5;
    std::vector<int> ids = {0, 2};
};

// A board manager whose protected parts the tests reach.
class OpenFenrow : public Ostrel::Fenrow {
public:
    // The thread goes before any part of the object does.
    ~OpenFenrow() override { stop(); }

    using Ostrel::Fenrow::find_module;
    using Ostrel::Fenrow::process_data;

    // Sets the timing, opens the socket and starts the thread; false when
    // the socket could not be set up.
    bool open(const FenrowTiming& timing = FenrowTiming());

    // One datagram through the receive path, from a buffer of exactly its
    // size (so that the sanitizers see any read past it).
    void feed(const std::string& ip, int port, const std::vector<std::uint8_t>& bytes);
};

// A board manager whose boards all have the test's layout, and which keeps
// what reached its hooks.
class TestBoards : public OpenFenrow {
public:
    explicit TestBoards(const Layout& layout = Layout());
    ~TestBoards() override;

    std::atomic<std::uint64_t> taken{0};
    std::atomic<std::uint64_t> data_calls{0};
    std::atomic<std::uint64_t> data_ok{0};
    // Record data words of the last good data packet.
    std::vector<std::uint16_t> last_record();
    DataPacket last_packet();

protected:
    ModuleNode* find_module(const std::string& ip, int port) override;
    void take_request(const std::string& ip, int port, std::uint16_t* words, int count) override;
    void process_data(ModuleNode* node, std::uint16_t* words, int count) override;

private:
    Layout _layout;
    std::mutex _mutex;
    std::vector<std::uint16_t> _record;
    DataPacket _packet;
};

// Short periods for tests that need many re-sends.
FenrowTiming fast_timing();

// A board on the address, started; its knock reply registers it with the
// manager (waits for that).
std::unique_ptr<fenrow_sim::BoardSim> start_board(TestBoards& boards, const std::string& address,
                                                  std::uint32_t firmware = 0x010203, bool short_reply = false);

} // namespace fenrow_test

#endif
