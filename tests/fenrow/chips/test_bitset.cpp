// The bit vector under the chip registers: fields in both bit orders, slots,
// the text form and copies.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fenrow/chips/bitset.h"

namespace {

std::string bits_of(const bitset& b)
{
    std::string s;
    for (int i = 0; i < b.nBits(); ++i)
        s += b.Bit(i) ? '1' : '0';
    return s;
}

} // namespace

TEST(Bitset, ByteReverse)
{
    EXPECT_EQ(bitset::byte_reverse(1, 3), 4);
    EXPECT_EQ(bitset::byte_reverse(6, 3), 3);
    EXPECT_EQ(bitset::byte_reverse(0x1FF, 9), 0x1FF);
    EXPECT_EQ(bitset::byte_reverse(0xF1, 4), 8);   // higher bits dropped
    EXPECT_EQ(bitset::byte_reverse(1, 32), static_cast<int>(0x80000000u));
}

TEST(Bitset, FieldsInBothBitOrders)
{
    bitset b(40, 32);
    b.SetR(5, 10, 4);
    EXPECT_EQ(bits_of(b).substr(8, 8), "00010100");   // bits 11 and 13
    EXPECT_EQ(b.ByteR(10, 4), 5u);
    EXPECT_EQ(b.Byte(10, 4), 10u);

    b.AllZero();
    b.Set(0x5, 30, 3);   // crosses the slot boundary, lowest bit first
    EXPECT_EQ(bits_of(b).substr(30, 3), "101");
    EXPECT_EQ(b.Word(0), 1ul << 30);
    EXPECT_EQ(b.Word(1), 1ul);

    // Writing a field clears the bits whose value bit is 0.
    b.Set(0, 30, 3);
    EXPECT_EQ(b.Word(0), 0u);
    EXPECT_EQ(b.Word(1), 0u);
}

TEST(Bitset, FieldsStopAtTheLastBit)
{
    bitset b(20, 32);
    b.Set(0xF, b.nBits() - 2, 4);
    EXPECT_EQ(bits_of(b), "00000000000000000011");
    EXPECT_EQ(b.Word(0), 0x3ul << 18);
    EXPECT_EQ(b.Byte(18, 8), 3u);
    // Reading more bits than the vector has reads what is there.
    EXPECT_EQ(b.Byte(0, 100), 0x3ul << 18);

    // Single bits and fields outside the vector are ignored.
    b.AllZero();
    b.Set(20).Set(-1).Set(0xFF, -4, 4).Set(1, 1000, 4);
    EXPECT_EQ(bits_of(b), std::string(20, '0'));
    EXPECT_EQ(b.Bit(-1), 0);
    EXPECT_EQ(b.Bit(20), 0);
}

TEST(Bitset, SizesAndSlots)
{
    bitset empty(10, 32);
    empty.new_size(0, 32);
    EXPECT_EQ(empty.nBits(), 0);
    EXPECT_EQ(empty.nWords(), 0);
    EXPECT_EQ(empty.Word(0), 0u);
    empty.Word(0, 7).AllZero();
    EXPECT_EQ(empty.Word(0), 0u);

    bitset b(165, 32);
    EXPECT_EQ(b.nWords(), 6);
    b.Word(6, 0xFFFF);
    EXPECT_EQ(b.Word(6), 0u);
    EXPECT_EQ(b.Word(-1), 0u);

    // A slot keeps only the bits of the vector: 32 per slot, 5 in the last.
    b.Word(0, 0xFFFFFFFFFFul);
    EXPECT_EQ(b.Word(0), 0xFFFFFFFFul);
    b.Word(5, 0xFFFFFFFFul);
    EXPECT_EQ(b.Word(5), 0x1Ful);
    EXPECT_EQ(b.Bit(164), 1);

    const unsigned long words[] = {0x5ul, 0x8000000000000000ul};
    bitset wide(70, words);
    EXPECT_EQ(wide.width(), 64);
    EXPECT_EQ(wide.Bit(0), 1);
    EXPECT_EQ(wide.Bit(2), 1);
    EXPECT_EQ(wide.Word(1), 0u);   // bit 127 is past the 70 bits
}

TEST(Bitset, CopiesAreIndependentAndExact)
{
    bitset big(200, 32);
    big.Set(150).Set(3);
    bitset small(40, 32);
    small.Set(33);

    bitset copy(small);
    EXPECT_EQ(bits_of(copy), bits_of(small));
    copy.Set(0);
    EXPECT_EQ(small.Bit(0), 0);

    // Assigning a short vector into a long one: the long one's old slots
    // past the new size do not show through.
    big = small;
    EXPECT_EQ(big.nBits(), 40);
    EXPECT_EQ(big.nWords(), 2);
    EXPECT_EQ(bits_of(big), bits_of(small));
    EXPECT_EQ(big.Word(4), 0u);

    small = small;
    EXPECT_EQ(small.Bit(33), 1);

    bitset grown(8, 16);
    grown = bitset(200, 32).Set(199);
    EXPECT_EQ(grown.nBits(), 200);
    EXPECT_EQ(grown.Bit(199), 1);
}

TEST(Bitset, TextForm)
{
    struct Case {
        int nbits;
        const char* text;
        const char* bits;
    } cases[] = {
        {5, "1<3>0", "11110"},
        {3, "1x1", "101"},
        {8, "<3>1", "00010000"},
        {8, "1<2><2>1", "11100100"},   // a group right behind a group writes zeros
        {4, "11111111", "1111"},       // nothing past the last bit
        {6, "0<2>1<1>", "000110"},
        {6, "", "000000"},
    };
    for (const Case& c : cases) {
        bitset b(c.nbits, c.text);
        EXPECT_EQ(bits_of(b), c.bits) << c.text;
    }

    bitset b(4, "1111");
    b.BitStr(100, "1<99>");
    EXPECT_EQ(b.nBits(), 100);
    EXPECT_EQ(bits_of(b), std::string(100, '1'));
    // Reusing the storage for a shorter text clears the old bits.
    b.BitStr(10, "01");
    EXPECT_EQ(bits_of(b), "0100000000");
    EXPECT_EQ(b.Word(1), 0u);
}

TEST(Bitset, TextFormBoundsAndMalformedGroups)
{
    // A huge repeat count fills the vector and stops; it is never looped over.
    bitset huge(16, "1<2000000000>");
    EXPECT_EQ(bits_of(huge), std::string(16, '1'));
    bitset overflow(16, "1<99999999999999999999999>0");
    EXPECT_EQ(bits_of(overflow), std::string(16, '1'));

    // Malformed groups end the text where they start.
    bitset open(8, "11<3");
    EXPECT_EQ(bits_of(open), "11000000");
    bitset letters(8, "1<x>11");
    EXPECT_EQ(bits_of(letters), "10000000");
    bitset nodigits(8, "1<>11");
    EXPECT_EQ(bits_of(nodigits), "10000000");

    bitset none(0, "1111");
    EXPECT_EQ(none.nBits(), 0);
    bitset negative(-5, "1");
    EXPECT_EQ(negative.nBits(), 0);
    EXPECT_EQ(negative.nWords(), 0);
}

TEST(Bitset, Printing)
{
    bitset b(6, "101");
    std::ostringstream os;
    os << b;
    EXPECT_EQ(os.str(), "Number of bits 6\n101000");
}
