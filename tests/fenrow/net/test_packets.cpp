// The datagrams of the board protocol, byte for byte, and the checks made on
// what boards send.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "fenrow/net/Packets.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Host-order words of a datagram, as the receiver sees them.
std::vector<std::uint16_t> as_received(const Bytes& b)
{
    std::vector<std::uint16_t> w = convert_packet(b.data(), b.size());
    w.resize(b.size() / 2);
    return w;
}

std::vector<std::uint16_t> words_of(const BasePacket& p)
{
    return as_received(convert_packet(p));
}

TEST(Packets, FixedCommandsOnTheWire)
{
    // Every command as a board receives it: see the command tests.
    EXPECT_EQ(convert_packet(KnockPacket(255)), (Bytes{0xCA, 0xFE, 0xFF, 0x0B, 0xFF, 0x00, 0x00, 0x00, 0xAC, 0xAB}));
    EXPECT_EQ(convert_packet(StartStopPacket(2, true, 255)),
              (Bytes{0xCA, 0xFE, 0x02, 0x0A, 0xFF, 0x00, 0x00, 0x01, 0xAC, 0xAB}));
    // Fields are bytes: wider values keep their low byte.
    const InitPacket wide(0x1FF, 0x102, 0x1FF, 0x12, 0x13);
    EXPECT_EQ(wide.size(), 10);
    EXPECT_EQ(words_of(wide), (std::vector<std::uint16_t>{0xCAFE, 0xFF01, 0x0223, 0xFF00, 0xACAB}));
}

TEST(Packets, ConfigPacketSizes)
{
    EXPECT_EQ(create_config_packet(5, 2)->size(), 240);
    EXPECT_EQ(create_config_packet(6, 1)->size(), 124);
    EXPECT_EQ(create_config_packet(8, 1)->size(), 124);
    auto three_hdr = create_config_packet(7, 3);
    ASSERT_TRUE(three_hdr);
    EXPECT_EQ(three_hdr->size(), 338);
    EXPECT_EQ(three_hdr->config_words(), 165);
    EXPECT_FALSE(create_config_packet(4, 2));
    EXPECT_FALSE(create_config_packet(9, 2));
    EXPECT_FALSE(create_config_packet(5, 0));
    // Would not fit one datagram.
    EXPECT_FALSE(create_config_packet(5, 600));
    EXPECT_TRUE(create_config_packet(5, 560));
}

TEST(Packets, ConversionAndDump)
{
    const Bytes odd = {0xCA, 0xFE, 0x00, 0x8B, 0x12};
    EXPECT_EQ(convert_packet(odd.data(), odd.size()), (std::vector<std::uint16_t>{0xCAFE, 0x008B}));
    const Bytes six = {0xCA, 0xFE, 0x00, 0x8B, 0x12, 0x34};
    EXPECT_EQ(convert_packet(six.data(), six.size()), (std::vector<std::uint16_t>{0xCAFE, 0x008B, 0x1234, 0}));

    Bytes buffer = {0xCA, 0xFE, 0x00, 0x0A, 0x77};
    words_to_host(buffer.data(), buffer.size());
    std::uint16_t w[2];
    std::memcpy(w, buffer.data(), 4);
    EXPECT_EQ(w[0], 0xCAFE);
    EXPECT_EQ(w[1], 0x000A);
    EXPECT_EQ(buffer[4], 0x77);

    const std::uint16_t words[] = {0xCAFE, 0x000A, 0x00FF};
    EXPECT_EQ(dump_packet(words, 6), "[ cafe 000a 00ff ]");
    EXPECT_EQ(dump_packet(words, 5), "[ cafe 000a ]");
    EXPECT_EQ(dump_packet(words, 0), "[ ]");
}

TEST(Packets, NamesTemperatureAndHead)
{
    EXPECT_STREQ(ro_mode_name(1), "serial");
    EXPECT_STREQ(ro_mode_name(2), "sparse");
    EXPECT_STREQ(ro_mode_name(4), "adjacent");
    EXPECT_STREQ(ro_mode_name(9), "scope");
    EXPECT_STREQ(ro_mode_name(3), "unknown");
    EXPECT_EQ(ro_mode_from_name("adjacent"), 4);
    EXPECT_EQ(ro_mode_from_name("Serial"), 10);

    EXPECT_DOUBLE_EQ(decode_temperature(0x0248), 36.5);
    EXPECT_DOUBLE_EQ(decode_temperature(0x0A48), -36.5);
    EXPECT_DOUBLE_EQ(decode_temperature(0x0000), 0.0);
    EXPECT_TRUE(std::signbit(decode_temperature(0x0800)));
    EXPECT_DOUBLE_EQ(decode_temperature(0x07FF), 127.9375);
    EXPECT_EQ(encode_temperature(36.5), 0x0248);
    EXPECT_EQ(encode_temperature(-36.5), 0x0A48);

    EXPECT_TRUE(head_ok(0xCAFE));
    EXPECT_TRUE(head_ok(0xFFFF));
    EXPECT_FALSE(head_ok(0x1234));
}

TEST(Packets, KnockRepliesAndAcks)
{
    std::uint32_t fw = 0;
    const Bytes short_reply = make_knock_reply(0xABCDEF, true);
    EXPECT_EQ(short_reply, (Bytes{0xCA, 0xFE, 0x00, 0x8B, 0x00, 0x00, 0xAC, 0xAB}));
    auto w = as_received(short_reply);
    ASSERT_TRUE(knock_firmware(w.data(), short_reply.size(), fw));
    EXPECT_EQ(fw, 0x100u);

    const Bytes long_reply = make_knock_reply(0x12ABCD, false);
    EXPECT_EQ(long_reply.size(), 12u);
    w = as_received(long_reply);
    ASSERT_TRUE(knock_firmware(w.data(), long_reply.size(), fw));
    EXPECT_EQ(fw, 0x12ABCDu);

    // Too short to carry a firmware word: none is read.
    fw = 7;
    EXPECT_FALSE(knock_firmware(w.data(), 6, fw));
    EXPECT_EQ(fw, 7u);

    EXPECT_EQ(make_ack(10, 0), (Bytes{0xCA, 0xFE, 0x00, 0x8A, 0x00, 0x00, 0xAC, 0xAB}));
    EXPECT_EQ(make_ack(7, 3), (Bytes{0xCA, 0xFE, 0x00, 0x87, 0x00, 0x03, 0xAC, 0xAB}));
}

struct Decoded {
    DataFault fault;
    DataPacket packet;
    std::vector<std::uint16_t> record;
};

Decoded decode(const Bytes& bytes, std::size_t cut = 0)
{
    // Exactly the datagram's size, so that a read past it is seen.
    const std::size_t n = cut ? cut : bytes.size();
    std::vector<std::uint16_t> w = convert_packet(bytes.data(), n);
    w.resize(n / 2);
    Decoded d;
    d.fault = decode_data_packet(w.data(), n, d.packet);
    if (d.fault == DataFault::none) {
        d.record.resize(static_cast<std::size_t>(record_data_words(d.packet)));
        copy_record_data(d.packet, d.record.data());
    }
    return d;
}

TEST(Packets, DataPacketsOfEveryMode)
{
    DataHeader h;
    h.stream = 3;
    h.evtcnt = 0x1234;
    h.time = 0x00010002;
    h.temperature = 0x0248;

    h.mode = RO_SERIAL;
    h.nchan = 4;
    Decoded d = decode(encode_data_packet(h, {10, 11, 12, 13}));
    ASSERT_EQ(d.fault, DataFault::none);
    EXPECT_EQ(d.packet.header.stream, 3);
    EXPECT_EQ(d.packet.header.evtcnt, 0x1234);
    EXPECT_EQ(d.packet.header.time, 0x00010002u);
    EXPECT_DOUBLE_EQ(d.packet.temperature, 36.5);
    EXPECT_EQ(d.packet.tail, 13);
    EXPECT_EQ(d.packet.payload_size, 2 * 4 + 32);
    EXPECT_EQ(d.record, (std::vector<std::uint16_t>{10, 11, 12, 13}));

    h.mode = RO_SPARSE;
    h.nchan = 2;
    d = decode(encode_data_packet(h, {5, 6, 700, 9, 9, 9}));
    ASSERT_EQ(d.fault, DataFault::none);
    EXPECT_EQ(d.packet.payload_size, 36);
    EXPECT_EQ(d.record, (std::vector<std::uint16_t>{5, 700}));

    // Adjacent: n + 1 triplets; centre channel, t2 of the first, then t2, t1
    // of each further triplet.
    h.mode = RO_ADJACENT;
    h.nchan = 2;
    d = decode(encode_data_packet(h, {64, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(d.fault, DataFault::none);
    EXPECT_EQ(d.packet.tail, 18);
    EXPECT_EQ(d.packet.payload_size, 4 * 2 + 36);
    EXPECT_EQ(d.record, (std::vector<std::uint16_t>{64, 2, 5, 4, 8, 7}));

    h.nchan = 0;
    d = decode(encode_data_packet(h, {64, 1, 2}));
    ASSERT_EQ(d.fault, DataFault::none);
    EXPECT_EQ(d.packet.tail, 12);
    EXPECT_EQ(d.record.size(), 2u);

}

TEST(Packets, BadDataPacketsAreRefused)
{
    DataHeader h;
    h.mode = RO_SERIAL;
    h.nchan = 128;
    const Bytes good = encode_data_packet(h, std::vector<std::uint16_t>(128, 7));
    EXPECT_EQ(decode(good).fault, DataFault::none);
    // Cut before the header's end, at the tail, and one byte short of it.
    EXPECT_EQ(decode(good, 16).fault, DataFault::short_header);
    EXPECT_EQ(decode(good, 2 * 137).fault, DataFault::past_end);
    EXPECT_EQ(decode(good, 2 * 138 - 1).fault, DataFault::past_end);

    // Tail one word early: the word found at the tail index is shown.
    Bytes early = encode_data_packet(h, std::vector<std::uint16_t>(127, 7));
    early.push_back(0x12);
    early.push_back(0x34);
    const Decoded d = decode(early);
    EXPECT_EQ(d.fault, DataFault::wrong_tail);
    EXPECT_EQ(d.packet.tail_word, 0x1234);

    // A count that puts the tail far past the datagram.
    DataHeader big = h;
    big.nchan = 0xFFFF;
    EXPECT_EQ(decode(encode_data_packet(big, {1, 2})).fault, DataFault::past_end);
    big.mode = RO_ADJACENT;
    EXPECT_EQ(decode(encode_data_packet(big, {1, 2})).fault, DataFault::past_end);

    DataHeader sparse = h;
    sparse.mode = RO_SPARSE;
    sparse.nchan = 0;
    EXPECT_EQ(decode(encode_data_packet(sparse, {})).fault, DataFault::no_hits);

    for (int stream : {0, 9, 255}) {
        DataHeader s = h;
        s.stream = stream;
        EXPECT_EQ(decode(encode_data_packet(s, std::vector<std::uint16_t>(128, 7))).fault, DataFault::bad_stream)
            << stream;
    }
    for (int mode : {0, 3, 9}) {
        DataHeader m = h;
        m.mode = mode;
        EXPECT_EQ(decode(encode_data_packet(m, std::vector<std::uint16_t>(128, 7))).fault, DataFault::bad_mode)
            << mode;
    }

    Bytes not_data = good;
    not_data[3] = 0x0D;
    EXPECT_EQ(decode(not_data).fault, DataFault::not_data);
}

} // namespace
