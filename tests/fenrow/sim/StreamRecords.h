// Event records of a board stream, made as the board manager makes them:
// from a data packet on the wire, through the protocol's decoder.
#ifndef BRISKO_TESTS_FENROW_STREAMRECORDS_H
#define BRISKO_TESTS_FENROW_STREAMRECORDS_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "fenrow/net/Packets.h"
#include "fenrow/streams/FenrowAnalysis.h"
#include "ostrel/ModuleData.h"
#include "ostrel/TellumData.h"

namespace fenrow_test {

// Releases the block's reference when it goes.
struct BlockRef {
    void operator()(Ostrel::ModuleData* b) const
    {
        if (b)
            b->dec_ref();
    }
};
using Block = std::unique_ptr<Ostrel::ModuleData, BlockRef>;

// An empty record of the payload size, with the board payload's head.
inline Block empty_record(int payload_size, int mode, int n, double temperature = 0.0, std::uint16_t module_id = 21)
{
    Block block(TellumData::create_packet(TellumData::EVENT_RECORD, module_id, payload_size));
    char* p = TellumData::from(block.get())->data;
    const std::uint16_t n16 = static_cast<std::uint16_t>(n);
    const std::uint16_t mode16 = static_cast<std::uint16_t>(mode);
    std::memcpy(p + offsetof(FenrowPayload, temp), &temperature, sizeof temperature);
    std::memcpy(p + offsetof(FenrowPayload, nchan), &n16, sizeof n16);
    std::memcpy(p + offsetof(FenrowPayload, romode), &mode16, sizeof mode16);
    return block;
}

// The record of a data packet of the mode with the payload words and n.
inline Block packet_record(int mode, std::uint16_t n, const std::vector<std::uint16_t>& payload,
                           double temperature = 36.5, std::uint16_t module_id = 21)
{
    DataHeader h;
    h.mode = mode;
    h.nchan = n;
    h.evtcnt = 7;
    h.time = 0x00012345;
    h.temperature = encode_temperature(temperature);
    const std::vector<std::uint8_t> bytes = encode_data_packet(h, payload);
    std::vector<std::uint16_t> words = convert_packet(bytes.data(), bytes.size());
    DataPacket packet;
    EXPECT_EQ(decode_data_packet(words.data(), bytes.size(), packet), DataFault::none);
    Block block = empty_record(packet.payload_size, mode, n, packet.temperature, module_id);
    char* p = TellumData::from(block.get())->data;
    std::vector<std::uint16_t> data(static_cast<std::size_t>(record_data_words(packet)));
    copy_record_data(packet, data.data());
    std::memcpy(p + offsetof(FenrowPayload, time), &h.time, sizeof h.time);
    std::memcpy(p + offsetof(FenrowPayload, evtcnt), &h.evtcnt, sizeof h.evtcnt);
    std::memcpy(p + FENROW_PAYLOAD_HEAD, data.data(), 2 * data.size());
    return block;
}

inline TellumData* record(const Block& b)
{
    return TellumData::from(b.get());
}

} // namespace fenrow_test

#endif
