#include "FenrowNet.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/LoopbackPort.h"
#include "common/TestUtil.h"

namespace fenrow_test {

int free_port()
{
    return loopback::unused_port(SOCK_DGRAM);
}

NetEnv::NetEnv() : host_port(free_port()), board_port(free_port())
{
    setenv("FENROW_BIND_ADDRESS", "127.0.0.1", 1);
    setenv("FENROW_KNOCK_ADDRESS", "127.255.255.255", 1);
    setenv("FENROW_HOST_PORT", std::to_string(host_port).c_str(), 1);
    setenv("FENROW_BOARD_PORT", std::to_string(board_port).c_str(), 1);
}

NetEnv::~NetEnv()
{
    for (const char* v : {"FENROW_BIND_ADDRESS", "FENROW_KNOCK_ADDRESS", "FENROW_HOST_PORT", "FENROW_BOARD_PORT"})
        unsetenv(v);
}

LogCapture::LogCapture() : Ostrel::StreamItem(0xFF)
{
    Ostrel::Logger::instance()->add_stream(this);
}

LogCapture::~LogCapture()
{
    Ostrel::Logger::instance()->remove_stream(this);
}

long LogCapture::write(const char* text, size_t count)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _lines.emplace_back(text, count);
    return static_cast<long>(count);
}

std::vector<std::string> LogCapture::lines()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _lines;
}

std::vector<std::string> LogCapture::matching(const std::string& text)
{
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> out;
    for (const std::string& l : _lines)
        if (l.find(text) != std::string::npos)
            out.push_back(l);
    return out;
}

bool LogCapture::wait_for(const std::string& text, double seconds)
{
    return testutil::wait_until([&] { return contains(text); }, seconds);
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _lines.clear();
}

QuietConsole::QuietConsole() : mask(Ostrel::Logger::instance()->console()->get_mask())
{
    Ostrel::Logger::instance()->console()->set_mask(0);
}

QuietConsole::~QuietConsole()
{
    Ostrel::Logger::instance()->console()->set_mask(mask);
}

TestBoards::TestBoards(const Layout& layout) : _layout(layout)
{
}

TestBoards::~TestBoards()
{
    stop();
}

bool OpenFenrow::open(const FenrowTiming& timing)
{
    set_timing(timing);
    if (init_server() != 0)
        return false;
    start_thread();
    return true;
}

void OpenFenrow::feed(const std::string& ip, int port, const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return;
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    const int count = static_cast<int>(bytes.size());
    filter(copy.get(), count);
    handle_request(ip, port, reinterpret_cast<std::uint16_t*>(copy.get()), count);
}

std::vector<std::uint16_t> TestBoards::last_record()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _record;
}

DataPacket TestBoards::last_packet()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _packet;
}

ModuleNode* TestBoards::find_module(const std::string& ip, int port)
{
    auto* node = new ModuleNode(ip, port);
    node->configure(_layout.nstreams, _layout.nchip, _layout.chip_type,
                    _layout.ids.empty() ? nullptr : _layout.ids.data());
    return node;
}

void TestBoards::take_request(const std::string& ip, int port, std::uint16_t* words, int count)
{
    ++taken;
    bool is_new = false;
    take_board_datagram(ip, port, words, count, is_new);
}

void TestBoards::process_data(ModuleNode* node, std::uint16_t* words, int count)
{
    DataPacket packet;
    if (check_data_packet(node, words, count, packet)) {
        std::vector<std::uint16_t> record(static_cast<std::size_t>(record_data_words(packet)));
        copy_record_data(packet, record.data());
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _record = std::move(record);
            _packet = packet;
            _packet.words = nullptr;   // points into the receive buffer
        }
        ++data_ok;
    }
    // Counted last: a test that sees the call sees what came of it.
    ++data_calls;
}

FenrowTiming fast_timing()
{
    FenrowTiming t;
    t.check_period = 0.02;
    t.resend_after = 0.1;
    return t;
}

std::unique_ptr<fenrow_sim::BoardSim> start_board(TestBoards& boards, const std::string& address,
                                                  std::uint32_t firmware, bool short_reply)
{
    fenrow_sim::BoardSim::Options options;
    options.address = address;
    options.firmware = firmware;
    options.short_reply = short_reply;
    auto sim = std::make_unique<fenrow_sim::BoardSim>(options);
    if (!sim->start())
        return nullptr;
    boards.do_broadcast();
    testutil::wait_until([&] { return boards.get_module(address) != nullptr; }, 5.0);
    return sim;
}

} // namespace fenrow_test
