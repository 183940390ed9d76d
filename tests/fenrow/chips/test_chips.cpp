// Chip register layouts: every chip type's length, fields and channel blocks,
// checked against the register bits in both directions.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fenrow/chips/TAchip.h"

namespace {

std::set<int> set_bits(const bitset& b)
{
    std::set<int> s;
    for (int i = 0; i < b.nBits(); ++i) {
        if (b.Bit(i))
            s.insert(i);
    }
    return s;
}

std::set<int> range(int first, int n)
{
    std::set<int> s;
    for (int i = 0; i < n; ++i)
        s.insert(first + i);
    return s;
}

struct ValueField {
    const char* name;
    std::function<void(TAchip&, int)> set;
    std::function<int(const TAchip&)> get;
};
#define BIT_FIELD(f) ValueField{#f, [](TAchip& c, int v) { c.f(v != 0); }, [](const TAchip& c) { return int(c.f()); }}
#define INT_FIELD(f, setter) ValueField{#f, [](TAchip& c, int v) { c.setter(v); }, [](const TAchip& c) { return c.f(); }}

const std::vector<ValueField>& value_fields()
{
    static const std::vector<ValueField> f = {
        BIT_FIELD(Test),        BIT_FIELD(Polarity),          BIT_FIELD(Probe_Enable), BIT_FIELD(CC_Enable),
        BIT_FIELD(N_side),      BIT_FIELD(Vrc),               BIT_FIELD(Vfsf),         BIT_FIELD(Vfss),
        BIT_FIELD(Vfp),         BIT_FIELD(dac_range),         BIT_FIELD(calib_gen),    BIT_FIELD(calib_ctrl),
        BIT_FIELD(vrc_neg),     BIT_FIELD(slew),              BIT_FIELD(dltc),         BIT_FIELD(test_channel),
        BIT_FIELD(bypass_hold), BIT_FIELD(enable_preampDAC),  INT_FIELD(GainEnabled, EnableGain),
        INT_FIELD(Gain, SetGain), INT_FIELD(Chip_Address, Chip_Address), INT_FIELD(thrs_dac, thrs_dac),
        INT_FIELD(calib_dac, calib_dac),
    };
    return f;
}

struct ChanField {
    const char* name;
    std::function<void(TAchip&, int, int)> set;
    std::function<int(const TAchip&, int)> get;
};

const std::vector<ChanField>& channel_fields()
{
    static const std::vector<ChanField> f = {
        {"mask", [](TAchip& c, int ch, int v) { c.mask(ch, v); }, [](const TAchip& c, int ch) { return int(c.mask(ch)); }},
        {"test", [](TAchip& c, int ch, int v) { c.test(ch, v); }, [](const TAchip& c, int ch) { return int(c.test(ch)); }},
        {"trim", [](TAchip& c, int ch, int v) { c.trim(ch, v); }, [](const TAchip& c, int ch) { return c.trim(ch); }},
        {"preampDAC", [](TAchip& c, int ch, int v) { c.preampDAC(ch, v); },
         [](const TAchip& c, int ch) { return c.preampDAC(ch); }},
    };
    return f;
}

struct Field {
    int pos;
    int width;
    bool msb_first;
};
// A channel block: channel ch occupies `width` bits from first + stride · ch.
struct Block {
    int first;
    int stride;
    int width;
    bool msb_first;
};

struct ChipCase {
    const char* type;
    std::function<std::unique_ptr<TAchip>()> make;
    int nbits;
    int nchan;
    std::map<std::string, int> bits;        // one-bit fields that are set when true
    std::map<std::string, Field> values;    // wider fields
    std::map<std::string, Block> channels;  // channel blocks
};

const Field lsb2(int pos) { return {pos, 2, false}; }
const Field msb(int pos, int width) { return {pos, width, true}; }
const Block bits1(int first) { return {first, 1, 1, false}; }
const Block msbs(int first, int width) { return {first, width, width, true}; }

std::vector<ChipCase> chip_cases()
{
    ChipCase gp7{"gp7", [] { return std::make_unique<GP7chip>(128); }, 926, 128,
                 {{"Vrc", 0}, {"Vfsf", 1}, {"Vfss", 2}, {"Vfp", 3}, {"CC_Enable", 4}, {"N_side", 5},
                  {"Test", 6}, {"Polarity", 7}, {"calib_gen", 12}, {"calib_ctrl", 13}, {"vrc_neg", 14},
                  {"slew", 16}, {"dac_range", 17}, {"dltc", 18}, {"test_channel", 659}, {"Probe_Enable", 659}},
                 {{"Chip_Address", msb(8, 4)}, {"thrs_dac", msb(917, 5)}, {"calib_dac", msb(922, 4)}},
                 {{"mask", bits1(19)}, {"trim", msbs(147, 4)}, {"test", bits1(660)}}};
    return {
        // The gain-off bit of "ta32" (bit 3) is inverted: see its own test.
        {"ta32", [] { return std::make_unique<TA32chip>(32); }, 165, 32,
         {{"Test", 0}, {"Polarity", 4}},
         {{"Gain", lsb2(1)}},
         {{"mask", bits1(5)}, {"trim", msbs(37, 3)}, {"test", bits1(132)}}},
        {"gp", [] { return std::make_unique<GPchip>(128); }, 657, 128,
         {{"CC_Enable", 0}, {"N_side", 1}, {"Test", 2}, {"Polarity", 3}, {"GainEnabled", 4}, {"Probe_Enable", 7}},
         {{"Gain", lsb2(5)}, {"Chip_Address", msb(8, 9)}},
         {{"trim", msbs(17, 3)}, {"mask", bits1(401)}, {"test", bits1(528)}}},
        {"gp3", [] { return std::make_unique<GP3chip>(128); }, 651, 128,
         {{"CC_Enable", 0}, {"N_side", 1}, {"Test", 2}, {"Polarity", 3}, {"GainEnabled", 4}},
         {{"Gain", lsb2(5)}, {"Chip_Address", msb(7, 4)}},
         {{"mask", bits1(11)}, {"trim", msbs(139, 3)}, {"test", bits1(522)}}},
        {"gp3p", [] { return std::make_unique<GP3pchip>(128); }, 649, 128,
         {{"CC_Enable", 0}, {"N_side", 1}, {"Test", 2}, {"Polarity", 3}},
         {{"Chip_Address", msb(5, 4)}},
         {{"mask", bits1(9)}, {"trim", msbs(137, 3)}, {"test", bits1(520)}}},
        {"gp5", [] { return std::make_unique<GP5chip>(128); }, 778, 128,
         {{"CC_Enable", 0}, {"N_side", 1}, {"Test", 2}, {"Polarity", 3}},
         {{"Gain", lsb2(4)}, {"Chip_Address", msb(6, 4)}},
         {{"test", bits1(649)}}},
        gp7,
        {"hdr", [] { return std::make_unique<HDR64chip>(64); }, 873, 64,
         {{"enable_preampDAC", 0}, {"GainEnabled", 1}, {"bypass_hold", 11}, {"Polarity", 12}, {"N_side", 18},
          {"Test", 19}},
         {},
         {{"mask", bits1(24)}, {"trim", msbs(89, 4)}, {"preampDAC", msbs(349, 8)}}},
    };
}

// Every register field of a chip type, one-bit fields included.
std::map<std::string, Field> fields_of(const ChipCase& c)
{
    std::map<std::string, Field> m = c.values;
    for (const auto& b : c.bits)
        m[b.first] = Field{b.second, 1, false};
    return m;
}

} // namespace

TEST(ChipLayout, LengthsAndChannelCounts)
{
    for (const ChipCase& c : chip_cases()) {
        auto chip = c.make();
        EXPECT_EQ(chip->nBits(), c.nbits) << c.type;
        EXPECT_EQ(chip->Nchan(), c.nchan) << c.type;
        EXPECT_EQ(chip->nWords(), (c.nbits + 31) / 32) << c.type;
        EXPECT_EQ(chip->width(), 32) << c.type;
        EXPECT_TRUE(set_bits(*chip).empty()) << c.type;
    }
    // Lengths that follow the channel count, and those that do not.
    EXPECT_EQ(TA32chip(16).nBits(), 85);
    EXPECT_EQ(GPchip(64).nBits(), 337);
    EXPECT_EQ(GP3chip(64).nBits(), 331);
    EXPECT_EQ(GP3pchip(64).nBits(), 329);
    EXPECT_EQ(GP5chip(64).nBits(), 778);
    EXPECT_EQ(GP7chip(64).nBits(), 926);
    EXPECT_EQ(GP7chip(64).Nchan(), 64);
    HDR64chip hdr(128);
    EXPECT_EQ(hdr.Nchan(), 64);
    EXPECT_EQ(hdr.nBits(), 873);
    EXPECT_TRUE(hdr.Resize(5));
    EXPECT_EQ(hdr.Nchan(), 64);
}

TEST(ChipLayout, FieldsBothWaysInTheirBitOrder)
{
    for (const ChipCase& c : chip_cases()) {
        const auto fields = fields_of(c);
        for (const ValueField& f : value_fields()) {
            SCOPED_TRACE(std::string(c.type) + " " + f.name);
            if (std::string(c.type) == "ta32" && std::string(f.name) == "GainEnabled")
                continue;   // inverted: see SharedAndInvertedBits
            auto it = fields.find(f.name);
            auto chip = c.make();
            f.set(*chip, 1);
            if (it == fields.end()) {
                EXPECT_TRUE(set_bits(*chip).empty());
                EXPECT_EQ(f.get(*chip), 0);
                continue;
            }
            const Field& fl = it->second;
            const int low_bit = fl.msb_first ? fl.pos + fl.width - 1 : fl.pos;
            EXPECT_EQ(set_bits(*chip), std::set<int>{low_bit});
            EXPECT_EQ(f.get(*chip), 1);

            // Wider values keep their low bits only.
            const int all = (1 << fl.width) - 1;
            f.set(*chip, (1 << fl.width) | all);
            EXPECT_EQ(set_bits(*chip), range(fl.pos, fl.width));
            EXPECT_EQ(f.get(*chip), all);
            f.set(*chip, 0);
            EXPECT_TRUE(set_bits(*chip).empty());

            // Reading a pattern: the field's first bit is its lowest or its
            // highest value bit.
            auto from_bits = c.make();
            from_bits->Set(fl.pos);
            EXPECT_EQ(f.get(*from_bits), fl.msb_first ? 1 << (fl.width - 1) : 1);
        }
    }
}

TEST(ChipLayout, ChannelBlocks)
{
    for (const ChipCase& c : chip_cases()) {
        for (const ChanField& f : channel_fields()) {
            auto it = c.channels.find(f.name);
            for (int ch : {0, 1, c.nchan / 2 + 3, c.nchan - 1}) {
                SCOPED_TRACE(std::string(c.type) + " " + f.name + " channel " + std::to_string(ch));
                auto chip = c.make();
                f.set(*chip, ch, 1);
                if (it == c.channels.end()) {
                    EXPECT_TRUE(set_bits(*chip).empty());
                    EXPECT_EQ(f.get(*chip, ch), 0);
                    continue;
                }
                const Block& b = it->second;
                const int first = b.first + b.stride * ch;
                EXPECT_EQ(set_bits(*chip), std::set<int>{b.msb_first ? first + b.width - 1 : first});
                EXPECT_EQ(f.get(*chip, ch), 1);
                const int all = (1 << b.width) - 1;
                f.set(*chip, ch, all);
                EXPECT_EQ(set_bits(*chip), range(first, b.width));
                EXPECT_EQ(f.get(*chip, ch), all);

                auto from_bits = c.make();
                from_bits->Set(first);
                EXPECT_EQ(f.get(*from_bits, ch), b.msb_first ? 1 << (b.width - 1) : 1);
            }
        }
    }
}

TEST(ChipLayout, ChannelsOutsideTheChipAreIgnored)
{
    for (const ChipCase& c : chip_cases()) {
        SCOPED_TRACE(c.type);
        auto chip = c.make();
        for (int ch : {-1, c.nchan, c.nchan + 100, 1 << 20}) {
            chip->mask(ch, true);
            chip->test(ch, true);
            chip->trim(ch, 0xF);
            chip->preampDAC(ch, 0xFF);
            EXPECT_FALSE(chip->mask(ch));
            EXPECT_FALSE(chip->test(ch));
            EXPECT_EQ(chip->trim(ch), 0);
        }
        EXPECT_TRUE(set_bits(*chip).empty());
    }
    // A fixed-size register has room for 128 channels whatever count it was
    // given.
    GP7chip wide(200);
    wide.mask(150, true);
    wide.test(199, true);
    EXPECT_TRUE(set_bits(wide).empty());
}

TEST(ChipLayout, EveryFieldSetLeavesTheUnusedBitsClear)
{
    for (const ChipCase& c : chip_cases()) {
        SCOPED_TRACE(c.type);
        auto chip = c.make();
        std::set<int> expected;
        for (const ValueField& f : value_fields())
            f.set(*chip, -1);
        for (int ch = 0; ch < chip->Nchan(); ++ch) {
            for (const ChanField& f : channel_fields())
                f.set(*chip, ch, 0xFF);
        }
        for (const auto& v : fields_of(c)) {
            const auto r = range(v.second.pos, v.second.width);
            expected.insert(r.begin(), r.end());
        }
        for (const auto& blk : c.channels) {
            const auto r = range(blk.second.first, blk.second.stride * (c.nchan - 1) + blk.second.width);
            expected.insert(r.begin(), r.end());
        }
        EXPECT_EQ(set_bits(*chip), expected);
    }
}

TEST(ChipLayout, SharedAndInvertedBits)
{
    TA32chip c(32);
    EXPECT_TRUE(c.GainEnabled());
    c.EnableGain(false);
    EXPECT_EQ(set_bits(c), std::set<int>{3});
    EXPECT_FALSE(c.GainEnabled());
    c.EnableGain(true);
    EXPECT_TRUE(set_bits(c).empty());

    c.SetGain(6);
    EXPECT_EQ(set_bits(c), std::set<int>{2});
    EXPECT_EQ(c.Gain(), 2);
    c.SetGain(0);

    // The last trim bit of channel 31 is the test bit of channel 0.
    c.trim(31, 2);
    EXPECT_EQ(c.trim(31), 2);
    c.test(0, true);
    EXPECT_EQ(c.trim(31), 3);
    EXPECT_TRUE(c.test(0));
    EXPECT_EQ(c.Bit(164), 0);

    // Two names for one "gp7" bit.
    GP7chip gp7(128);
    gp7.test_channel(true);
    EXPECT_TRUE(gp7.Probe_Enable());
    gp7.Probe_Enable(false);
    EXPECT_FALSE(gp7.test_channel());
}

TEST(Chip, ResizeCopyAndAssign)
{
    TA32chip c(32);
    c.Polarity(true)->mask(3, true);
    EXPECT_TRUE(c.Resize(16));
    EXPECT_EQ(c.Nchan(), 16);
    EXPECT_EQ(c.nBits(), 85);
    EXPECT_TRUE(set_bits(c).empty());
    EXPECT_FALSE(c.Resize(-1));
    EXPECT_FALSE(c.Resize(TAchip::max_channels + 1));
    EXPECT_EQ(c.nBits(), 85);
    // A count out of range at construction is brought into range.
    EXPECT_EQ(GPchip(-4).Nchan(), 0);
    EXPECT_EQ(GPchip(-4).nBits(), 17);

    GP3chip a(128);
    a.Chip_Address(9)->trim(100, 5);
    GP3chip b(a);
    EXPECT_EQ(set_bits(b), set_bits(a));
    b.mask(0, true);
    EXPECT_FALSE(a.mask(0));

    GP3chip d(128);
    TAchip& ref = d;
    ref = a;
    EXPECT_EQ(d.Chip_Address(), 9);
    EXPECT_EQ(d.trim(100), 5);
    ref = ref;
    EXPECT_EQ(d.trim(100), 5);
}

TEST(Chip, Print)
{
    GP7chip gp7(128);
    gp7.Chip_Address(3)->thrs_dac(17)->mask(1, true)->trim(2, 9);
    std::ostringstream os;
    os << gp7;
    const std::string out = os.str();
    EXPECT_EQ(out.rfind("Number of channels 128\nBit dump Number of bits 926\n", 0), 0u);
    EXPECT_NE(out.find("\nChip Add.   3\nCurr. Comp. 0\n"), std::string::npos);
    EXPECT_NE(out.find("\nThrs. DAC   17\n\nMask 01" + std::string(126, '0') + "\n"), std::string::npos);
    EXPECT_NE(out.find("\nTrim 0 0 9 0 "), std::string::npos);

    HDR64chip hdr(64);
    hdr.preampDAC(0, 200);
    std::ostringstream hos;
    hos << hdr;
    EXPECT_NE(hos.str().find("\nChip HDR: preampDAC[0] 200\nMask "), std::string::npos);
}

TEST(Chip, TextLines)
{
    GP3chip c(128);
    c.Set(0).Set(33).Set(650);
    std::ostringstream os;
    c.save(os);
    std::string expected = "128\n1\n2\n";
    for (int i = 2; i < 20; ++i)
        expected += "0\n";
    expected += std::to_string(1ul << (650 - 640)) + "\n";
    EXPECT_EQ(os.str(), expected);

    GP3chip back(128);
    std::istringstream is(os.str());
    EXPECT_TRUE(back.load(is));
    EXPECT_EQ(set_bits(back), set_bits(c));

    // Refused texts leave the chip as it was and say why.
    struct Bad {
        std::string text;
        const char* reason;
    } bad[] = {
        {"", "channel count"},
        {"64\n0\n", "64 channels given"},
        {"128\n1\n2\n", "register word 3 of 21"},
        {"128\n-1\n" + std::string(20 * 2, ' '), "register word 1"},
        {"128\n0x10\n", "register word 1"},
        {"128\n99999999999999999999999\n", "register word 1"},
    };
    for (const Bad& b : bad) {
        std::istringstream in(b.text);
        std::string why;
        EXPECT_FALSE(back.load(in, &why)) << b.text;
        EXPECT_NE(why.find(b.reason), std::string::npos) << why;
        EXPECT_EQ(set_bits(back), set_bits(c));
    }

    // Values keep only the bits the slot has in the register.
    std::string wide = "128\n";
    for (int i = 0; i < 21; ++i)
        wide += "18446744073709551615\n";
    std::istringstream in(wide);
    EXPECT_TRUE(back.load(in));
    EXPECT_EQ(back.Word(0), 0xFFFFFFFFul);
    EXPECT_EQ(back.Word(20), 0x7FFul);
    EXPECT_EQ(static_cast<int>(set_bits(back).size()), 651);
}
