// The chip set of a stream: types and names, sizes, global channels, the
// concatenated register and the text form with its refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "fenrow/chips/TAmanager.h"
#include "ostrel/Log.h"

namespace {

// Collects the error lines of the framework log while it lives.
struct ErrorLog : Ostrel::StreamItem {
    ErrorLog() : StreamItem(Ostrel::LOG_ERROR) { Ostrel::Logger::instance()->add_stream(this); }
    ~ErrorLog() override { Ostrel::Logger::instance()->remove_stream(this); }
    long write(const char* text, size_t count) override
    {
        std::lock_guard<std::mutex> l(m);
        text_.append(text, count);
        return static_cast<long>(count);
    }
    std::string text()
    {
        std::lock_guard<std::mutex> l(m);
        return text_;
    }
    std::mutex m;
    std::string text_;
};

std::string saved(const TAmanager& ta)
{
    std::ostringstream os;
    ta.save(os);
    return os.str();
}

// A few bits in every chip, different per chip, including each register's
// last bit.
void scribble(TAmanager& ta)
{
    for (int i = 0; i < ta.Nchip(); ++i) {
        TAchip* c = ta.chip(i);
        c->Set(i).Set(c->nBits() - 1).Set(c->nBits() / 2 + i);
        c->Polarity(true);
        c->mask(i % c->Nchan(), true);
    }
}

const TAmanager::ChipType all_types[] = {TAmanager::ta32, TAmanager::gp,    TAmanager::gp3,
                                         TAmanager::gp3p, TAmanager::gp5,   TAmanager::gp7,
                                         TAmanager::gp7_1, TAmanager::hdr,  TAmanager::gp8};

} // namespace

TEST(ChipSet, TypeNames)
{
    const char* names[] = {"ta32", "gp", "gp3", "gp3p", "gp5", "gp7", "gp7_1", "hdr", "gp8"};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(TAmanager::chip_name(static_cast<TAmanager::ChipType>(i)), names[i]);
        EXPECT_EQ(TAmanager::chip_type_from_name(names[i]), i);
    }
    EXPECT_EQ(TAmanager::chip_type_from_name("gp7_1"), 6);
    EXPECT_EQ(TAmanager::chip_type_from_name("GP7"), TAmanager::unknown);
    EXPECT_EQ(TAmanager::chip_type_from_name(""), TAmanager::unknown);
    EXPECT_EQ(TAmanager::chip_type_from_name("unknown"), TAmanager::unknown);
    EXPECT_EQ(TAmanager::chip_name(TAmanager::gp8), "gp8");
    EXPECT_EQ(TAmanager::chip_name(static_cast<TAmanager::ChipType>(12)), "unknown");
    EXPECT_EQ(TAmanager::chip_name(static_cast<TAmanager::ChipType>(-3)), "unknown");
    EXPECT_EQ(TAmanager::chip_name(TAmanager::unknown), "unknown");
}

TEST(ChipSet, ChangingTheType)
{
    TAmanager ta(TAmanager::hdr, 4);
    EXPECT_EQ(ta.Nchan(), 64);
    EXPECT_EQ(ta.Ntot(), 256);
    ta.chip(1)->Polarity(true);
    ta.SetChipType(TAmanager::ta32);
    EXPECT_EQ(ta.Nchip(), 4);
    EXPECT_EQ(ta.Nchan(), 32);
    EXPECT_NE(dynamic_cast<TA32chip*>(ta.chip(3)), nullptr);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(ta.chip(i)->Byte(0, 64), 0u);

    // An unknown type keeps the count but holds no chips.
    ta.SetChipType(TAmanager::unknown);
    EXPECT_EQ(ta.Nchip(), 4);
    EXPECT_EQ(ta.Nchan(), 0);
    EXPECT_EQ(ta.Ntot(), 0);
    EXPECT_EQ(ta.chip(0), nullptr);
    EXPECT_EQ(ta.TAvector(), nullptr);
    ta.mask_channel(5);
    ta.trim_channel(5, 3);
}

TEST(ChipSet, ChipCountsAreBounded)
{
    TAmanager ta(TAmanager::gp3, 2);
    ta.chip(0)->Chip_Address(7);
    EXPECT_FALSE(ta.Resize(-1));
    EXPECT_FALSE(ta.Resize(TAmanager::max_chips + 1));
    EXPECT_FALSE(ta.Resize(2000000000));
    EXPECT_EQ(ta.Nchip(), 2);
    EXPECT_EQ(ta.chip(0)->Chip_Address(), 7);

    EXPECT_TRUE(ta.Resize(TAmanager::max_chips));
    EXPECT_EQ(ta.Nchip(), TAmanager::max_chips);
    EXPECT_TRUE(ta.Resize(0));
    EXPECT_EQ(ta.Nchan(), 0);
    EXPECT_EQ(ta.TAvector(), nullptr);

    EXPECT_EQ(TAmanager(TAmanager::gp, -5).Nchip(), 0);
    EXPECT_EQ(TAmanager(TAmanager::gp, 100000).Nchip(), TAmanager::max_chips);
}

TEST(ChipSet, GlobalChannels)
{
    TAmanager ta(TAmanager::gp, 2);
    ta.mask_channel(130);
    EXPECT_TRUE(ta.chip(1)->mask(2));
    EXPECT_EQ(ta.chip(1)->Bit(403), 1);
    EXPECT_EQ(ta.chip(0)->Byte(0, 64), 0u);

    ta.trim_channel(255, 5);
    EXPECT_EQ(ta.chip(1)->trim(127), 5);
    ta.trim_channel(3, 2);
    EXPECT_EQ(ta.chip(0)->trim(3), 2);

    // Channels past the set or negative touch nothing.
    const std::string before = saved(ta);
    ta.mask_channel(256);
    ta.mask_channel(-1);
    ta.trim_channel(-129, 7);
    ta.trim_channel(1 << 30, 7);
    ta.select_channel(3);
    ta.select_all();
    ta.mask_all();
    EXPECT_EQ(saved(ta), before);
}

TEST(ChipSet, ConcatenatedVector)
{
    TAmanager ta(TAmanager::gp3, 2);
    ta.chip(0)->Set(0).Set(650);
    ta.chip(1)->Set(0).Set(5);
    bitset* v = ta.TAvector();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->nBits(), 82 * 16);
    EXPECT_EQ(v->nWords(), 82);
    EXPECT_EQ(v->width(), 16);
    std::vector<int> on;
    for (int i = 0; i < v->nBits(); ++i) {
        if (v->Bit(i))
            on.push_back(i);
    }
    EXPECT_EQ(on, (std::vector<int>{10, 660, 661, 666}));

    TAmanager hdr(TAmanager::hdr, 3);   // 2619 bits: 164 slots, 5 leading zeros
    hdr.chip(2)->Set(872);
    bitset* hv = hdr.TAvector();
    EXPECT_EQ(hv->nWords(), 164);
    EXPECT_EQ(hv->Bit(164 * 16 - 1), 1);
}

TEST(ChipSet, CopyAndAssign)
{
    TAmanager a(TAmanager::gp7, 3);
    scribble(a);
    a.TAvector();
    TAmanager b(a);
    EXPECT_EQ(saved(b), saved(a));
    b.chip(0)->Clr(0);
    EXPECT_EQ(a.chip(0)->Bit(0), 1);

    TAmanager c(TAmanager::ta32, 7);
    c = a;
    EXPECT_EQ(c.GetChipType(), TAmanager::gp7);
    EXPECT_EQ(saved(c), saved(a));
    c = c;
    EXPECT_EQ(saved(c), saved(a));
}

TEST(ChipSet, TextForm)
{
    TAmanager ta(TAmanager::ta32, 1);
    EXPECT_EQ(saved(ta), "0 1 32\n32\n0\n0\n0\n0\n0\n0\n");

    auto count_lines = [](const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); };
    EXPECT_EQ(count_lines(saved(TAmanager(TAmanager::gp7, 1))), 2 + 29);
    EXPECT_EQ(count_lines(saved(TAmanager(TAmanager::hdr, 1))), 2 + 28);

    TAmanager one(TAmanager::gp, 1);
    one.chip(0)->Set(32).Set(656);
    const std::string text = saved(one);
    EXPECT_EQ(text.substr(0, 16), "1 1 128\n128\n0\n1\n");
    EXPECT_NE(text.find("\n65536\n"), std::string::npos);   // bit 656 = bit 16 of slot 20
}

TEST(ChipSet, TextRoundTripsForEveryType)
{
    for (TAmanager::ChipType type : all_types) {
        SCOPED_TRACE(TAmanager::chip_name(type));
        TAmanager ta(type, 3);
        scribble(ta);
        const std::string first = saved(ta);

        TAmanager other(type == TAmanager::gp ? TAmanager::hdr : TAmanager::gp, 5);
        std::istringstream is(first);
        ASSERT_TRUE(other.load(is));
        EXPECT_EQ(other.GetChipType(), type);
        EXPECT_EQ(other.Nchip(), 3);
        EXPECT_EQ(other.Nchan(), ta.Nchan());
        EXPECT_EQ(saved(other), first);
        for (int i = 0; i < 3; ++i) {
            for (int k = 0; k < ta.chip(i)->nBits(); ++k)
                ASSERT_EQ(other.chip(i)->Bit(k), ta.chip(i)->Bit(k)) << "chip " << i << " bit " << k;
        }
    }

    // Sets without chips travel as well.
    for (TAmanager::ChipType type : {TAmanager::gp3, TAmanager::unknown}) {
        TAmanager empty(type, type == TAmanager::unknown ? 3 : 0);
        TAmanager other(TAmanager::gp7, 2);
        std::istringstream is(saved(empty));
        ASSERT_TRUE(other.load(is));
        EXPECT_EQ(saved(other), saved(empty));
        EXPECT_EQ(other.chip(0), nullptr);
    }
}

TEST(ChipSet, BadTextsAreRefusedWholly)
{
    TAmanager good(TAmanager::gp3, 2);
    scribble(good);
    const std::string text = saved(good);
    // The first chip's lines and half of the second's.
    const std::string half = text.substr(0, text.size() * 3 / 4);
    std::string wrong_channels = text;
    wrong_channels.replace(wrong_channels.find("\n128\n"), 5, "\n64\n");
    std::string letters = text;
    letters.replace(letters.rfind("\n0\n"), 3, "\nabc\n");

    struct Bad {
        std::string text;
        const char* message;
    } bad[] = {
        {"", "first line"},
        {"gp3 2 128\n", "first line"},
        {"2 2\n", "first line"},
        {"-1 2 128\n", "first line"},
        {"12 1 128\n", "chip type 12 does not exist"},
        {"2 256 128\n", "256 chips"},
        {"2 2000000000 128\n", "2000000000 chips"},
        {"2 99999999999999999999999 128\n", "first line"},
        {half, "chip 1: register word"},
        {wrong_channels, "chip 0: 64 channels given"},
        {letters, "chip 1: register word"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.text.substr(0, 40));
        TAmanager ta(TAmanager::gp7, 1);
        ta.chip(0)->Chip_Address(6);
        const std::string before = saved(ta);
        ErrorLog log;
        std::istringstream is(b.text);
        EXPECT_FALSE(ta.load(is));
        EXPECT_EQ(saved(ta), before);
        EXPECT_NE(log.text().find("Chip set text refused: "), std::string::npos) << log.text();
        EXPECT_NE(log.text().find(b.message), std::string::npos) << log.text();
    }

    // The information number of the first line is not checked against the
    // type; slot values are cut to the register's bits.
    TAmanager ta(TAmanager::ta32, 1);
    std::istringstream is("0 1 999\n32\n4294967296\n0\n0\n0\n0\n255\n");
    ASSERT_TRUE(ta.load(is));
    EXPECT_EQ(saved(ta), "0 1 32\n32\n0\n0\n0\n0\n0\n31\n");
}
