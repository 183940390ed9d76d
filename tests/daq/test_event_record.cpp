// The event record at the start of a framework block.
#include <gtest/gtest.h>

#include <cstring>

#include "ostrel/TellumData.h"

TEST(TellumData, BlockSizesAndHeader)
{
    struct Case {
        int payload;
        unsigned block;
    } cases[] = {{0, 24}, {8, 32}, {10, 32}, {3, 24}, {4, 28}, {-5, 24}};
    for (const Case& c : cases) {
        Ostrel::ModuleData* d = TellumData::create_packet(0x2000, 231, c.payload);
        ASSERT_EQ(d->size(), c.block) << c.payload;
        TellumData* r = TellumData::from(d);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->size, c.block);
        EXPECT_EQ(r->header, 0xCAFE);
        EXPECT_EQ(r->record_type, 0x2000);
        EXPECT_EQ(r->mod_id, 231);
        EXPECT_EQ(r->data_type, 0);
        EXPECT_EQ(r->event_counter, 0u);
        // Room for the payload as whole words, and the rest zero.
        EXPECT_GE(c.block - 16u, static_cast<unsigned>(c.payload > 0 ? c.payload : 0));
        for (unsigned i = 16; i < c.block; ++i)
            EXPECT_EQ(d->data()[i], 0);
        d->dec_ref();
    }
}

TEST(TellumData, ByteLayoutOnThisHost)
{
    Ostrel::ModuleData* d = TellumData::create_packet(0x1234, 0x5678, 0);
    TellumData* r = TellumData::from(d);
    r->event_counter = 0x01020304;
    r->data_type = 0x2000;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(d->data());
    const unsigned char expect[16] = {0xFE, 0xCA, 0x34, 0x12, 0x04, 0x03, 0x02, 0x01,
                                      0x78, 0x56, 0x00, 0x20, 24,   0,    0,    0};
    EXPECT_EQ(std::memcmp(b, expect, 16), 0);
    d->dec_ref();

    Ostrel::ModuleData* tiny = Ostrel::ModuleData::new_block(8);
    EXPECT_EQ(TellumData::from(tiny), nullptr);
    tiny->dec_ref();
}
