// Every board command as it reaches a simulated board, byte for byte, and
// the chip configuration packets with single register fields in their words.
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "FenrowNet.h"
#include "fenrow/chips/TAmanager.h"

using namespace fenrow_test;
using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

namespace {

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        Layout layout;
        layout.nchip = 2;   // streams 1 and 3 of two "gp7" chips
        boards = std::make_unique<TestBoards>(layout);
        ASSERT_TRUE(boards->open());
        sim = start_board(*boards, "127.0.0.2");
        ASSERT_TRUE(sim);
        node = boards->get_module("127.0.0.2");
        ASSERT_TRUE(node);
    }

    // What the board receives for the operation (0 = queued).
    Bytes sent(const std::function<int()>& op, int expected_rc = 0)
    {
        sim->clear_received();
        EXPECT_EQ(op(), expected_rc);
        if (expected_rc != 0)
            return Bytes();
        EXPECT_EQ(boards->wait_for_command_completion(5000), 0);
        for (const fenrow_sim::Datagram& d : sim->received())
            if (d.code() != CMD_KNOCK)
                return d.bytes;
        return Bytes();
    }

    // The configuration packet the board receives for the chip set: `nwords`
    // words, zero but for the framing and the words given.
    void expect_config(const TAmanager& ta, int stream, std::size_t nwords, const std::map<std::size_t, std::uint16_t>& set)
    {
        const Bytes b = sent([&] { return boards->send_config_register(node, stream, ta); });
        Words w = convert_packet(b.data(), b.size());
        w.resize(b.size() / 2);
        Words expected(nwords, 0);
        expected[0] = 0xCAFE;
        expected[1] = 0x0007;
        expected[2] = static_cast<std::uint16_t>(stream << 8);
        expected[nwords - 1] = 0xACAB;
        for (const auto& word : set)
            expected[word.first] = word.second;
        EXPECT_EQ(w, expected);
    }

    static Bytes command(std::uint8_t code, std::uint16_t w2, std::uint16_t w3)
    {
        return Bytes{0xCA, 0xFE, 0x00, code, static_cast<std::uint8_t>(w2 >> 8), static_cast<std::uint8_t>(w2),
                     static_cast<std::uint8_t>(w3 >> 8), static_cast<std::uint8_t>(w3), 0xAC, 0xAB};
    }

    NetEnv env;
    LogCapture log;
    std::unique_ptr<TestBoards> boards;
    std::unique_ptr<fenrow_sim::BoardSim> sim;
    ModuleNode* node = nullptr;
};

TEST_F(Commands, SettingsOfAStream)
{
    EXPECT_EQ(sent([&] { return boards->set_hold_delay(node, 3, 150); }), command(2, 0x0300, 150));
    EXPECT_EQ(sent([&] { return boards->set_ctw(node, 1, 20); }), command(5, 0x0100, 20));
    EXPECT_TRUE(log.contains("Setting CTW [1]: value 20\n"));
    EXPECT_EQ(sent([&] { return boards->send_config_bias(node, 0, 7, 50, 3); }), command(3, 0x0307, 50));
    EXPECT_EQ(sent([&] { return boards->send_config_mbias(node, 0, 2, 1460, 1); }), command(4, 0x0102, 1460));
    EXPECT_EQ(sent([&] { return boards->set_threshold(node, 0, 300, 2); }), command(3, 0x0202, 300));
    EXPECT_EQ(sent([&] { return boards->set_trg_type(node, 0, 3, 1, 1); }), command(9, 0x0301, 1));
    EXPECT_TRUE(log.contains("Setting trigger mode hyb[3]\u00A0type: 1 mask 1\n"));
    // Values wider than 16 bits keep their low bits.
    EXPECT_EQ(sent([&] { return boards->set_hold_delay(node, 1, 0x12345); }), command(2, 0x0100, 0x2345));
}

TEST_F(Commands, ReadoutModeFromTheStreamRecord)
{
    DataStream* s = node->stream(1);   // id 2: stream 3
    s->set_readout_mode(4, 3);
    s->set_hold(true);
    s->set_vout(false);
    s->set_polarity(1);
    EXPECT_EQ(sent([&] { return boards->send_config_readout_mode(1, node); }), command(8, 0x03E4, 3));
    s->set_readout_mode(1, 0);
    s->set_hold(false);
    s->set_vout(true);
    s->set_polarity(0);
    EXPECT_EQ(sent([&] { return boards->send_config_readout_mode(1, node); }), command(8, 0x0301, 0));

    sent([&] { return boards->send_config_readout_mode(5, node); }, -1);
    EXPECT_TRUE(log.contains("send_config_readout_mode: hybrid 5 does not exist.\n"));
    EXPECT_TRUE(log.contains("Exixting hybrids are:\n"));
    EXPECT_TRUE(sim->received(CMD_RO_MODE).empty());
}

TEST_F(Commands, InitialisationByChipType)
{
    const struct {
        int type;
        std::uint16_t nibbles;
    } cases[] = {{5, 0x10}, {6, 0x11}, {7, 0x20}, {8, 0x11}};
    for (const auto& c : cases) {
        node->stream(1)->set_chip_type(c.type);
        EXPECT_EQ(sent([&] { return boards->send_config_hybrid(0, 2, node); }),
                  command(1, static_cast<std::uint16_t>(0x0300 | c.nibbles), 0x0200))
            << c.type;
    }
    node->stream(1)->set_chip_type(3);
    EXPECT_EQ(sent([&] { return boards->send_config_hybrid(0, 2, node); }), command(1, 0x0300, 0x0200));
    EXPECT_TRUE(log.contains("Ostrel::Fenrow::send_config_hybrid Invalid chip type: 3\n"));
    // No stream of that id on the board: nothing is sent.
    sent([&] { return boards->send_config_hybrid(0, 1, node); }, -1);
    EXPECT_TRUE(sim->received(CMD_INIT).empty());
}

TEST_F(Commands, ConfigurationPacketsCarryEachRegisterBitInItsWord)
{
    // Chips from the last to the first, each register from its highest bit
    // down, each chip on fresh words; the bits left over in a chip's last
    // word stay 0.
    TAmanager one(TAmanager::gp7, 1);
    one.chip(0)->thrs_dac(1);    // bit 921
    one.chip(0)->calib_dac(8);   // bit 922
    one.chip(0)->Polarity(true); // bit 7
    one.chip(0)->Vrc(true);      // bit 0
    expect_config(one, 3, 62, {{3, 0x1800}, {60, 0x0204}});

    TAmanager two(TAmanager::gp7, 2);
    two.chip(1)->thrs_dac(1);
    two.chip(0)->Polarity(true);
    expect_config(two, 1, 120, {{3, 0x0800}, {3 + 58 + 57, 0x0200}});

    TAmanager three(TAmanager::hdr, 3);
    three.chip(2)->Polarity(true);          // bit 12
    three.chip(1)->preampDAC(0, 0x80);      // bit 349
    three.chip(0)->mask(0, true);           // bit 24
    three.chip(0)->enable_preampDAC(true);  // bit 0
    expect_config(three, 3, 169, {{3 + 53, 0x0008}, {58 + 32, 0x0010}, {113 + 53, 0x8000}, {113 + 54, 0x0080}});
}

TEST_F(Commands, ChipSetWithoutConfigurationPacketIsRefused)
{
    TAmanager ta(TAmanager::gp5, 2);
    sent([&] { return boards->send_config_register(node, 1, ta); }, -1);
    EXPECT_TRUE(log.contains("***** Could not send config packet.\n"));
    EXPECT_TRUE(log.contains("***** Posible reasons are a wrong chip type in the configuration file\n"));
    EXPECT_TRUE(sim->received(CMD_CONFIG).empty());
    EXPECT_EQ(boards->send_config_register(nullptr, 1, TAmanager(TAmanager::gp7, 1)), -1);
}

} // namespace
