// Board and stream records and the block queue.
#include <gtest/gtest.h>

#include "fenrow/net/ModuleNode.h"

namespace {

TEST(Records, StreamDefaultsAndNodeLayout)
{
    DataStream s(3, 4);
    EXPECT_EQ(s.nchan(), 512);
    EXPECT_EQ(s.readout_mode(), 1u);
    EXPECT_EQ(s.polarity(), 1u);
    s.set_nchip(2);
    EXPECT_EQ(s.nchan(), 512);
    s.set_firmware(0x1234567890ul);
    EXPECT_EQ(s.firmware(), 0x34567890u);

    ModuleNode node("127.0.0.2", 10000);
    node.configure(2, 4, 7, nullptr);
    ASSERT_EQ(node.nstreams(), 2);
    EXPECT_EQ(node.stream(1)->id(), 1u);
    EXPECT_EQ(node.stream(0)->chip_type(), 7u);
    EXPECT_EQ(node.stream(0)->readout_mode(), 4u);
    EXPECT_EQ(node.stream(0)->nadj(), 15u);
    EXPECT_EQ(node.stream(2), nullptr);

    // Streams of an earlier layout stay valid for whoever holds them.
    DataStream* old = node.stream(0);
    const int ids[] = {5, 9};
    node.configure(2, 1, 5, ids);
    EXPECT_EQ(old->chip_type(), 7u);
    EXPECT_EQ(node.find_stream(9), node.stream(1));
    EXPECT_EQ(node.find_stream(2), nullptr);

    node.set_firmware(0x100);
    EXPECT_EQ(node.firmware(), 0x100ul);
    EXPECT_EQ(node.stream(0)->firmware(), 0x100u);
    EXPECT_EQ(node.stream(1)->firmware(), 0x100u);

}

TEST(Records, BlockQueueKeepsItsBound)
{
    EXPECT_EQ(DataBlock(-5, "abcd").size(), 0u);
    DataBuffer buffer(2);
    DataBlock* blocks[3];
    for (int i = 0; i < 3; ++i) {
        blocks[i] = new DataBlock(1, nullptr);
        buffer.push_block(blocks[i]);
    }
    EXPECT_TRUE(buffer.full());
    buffer.push_block(new DataBlock(1, nullptr));   // deleted, not queued
    EXPECT_EQ(buffer.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        DataBlock* b = buffer.get_block();
        EXPECT_EQ(b, blocks[i]);
        delete b;
    }
    EXPECT_EQ(buffer.get_block(), nullptr);
    buffer.push_block(new DataBlock(8, nullptr));   // freed by the queue
}

} // namespace
