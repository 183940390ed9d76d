// Bit command lists against a 926-bit chip register: what each prints and
// what it changes, all or nothing; a huge interval is refused before it is
// expanded.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestUtil.h"
#include "fenrow/chips/BitParser.h"
#include "fenrow/chips/TAchip.h"

namespace {

struct Case {
    const char* input;
    const char* printed;              // after the "Input: " line
    std::vector<int> set, cleared;    // bits after the command (5 to 7 start set)
};

} // namespace

TEST(BitCommands, PrintAndApplyAllOrNothing)
{
    const std::vector<Case> cases = {
        {"3=1,5-7=0", "Set(3,1) \nSet(5,0) \nSet(6,0) \nSet(7,0) \n", {3}, {5, 6, 7}},
        {"3=1,x=0", "Wrong bit address: x in x=0\n", {5}, {3}},
        {"3=2", "Wrong syntax: 3=2. Value should be 0 or 1\n", {5}, {3}},
        {"1-2-3=1", "Wrong syntax: 1-2-3=1. Wrong bit number or interval\n", {5}, {1}},
        {"5 - 7=0", "Wrong bit interval in 5 - 7=0\n", {5, 6, 7}, {}},
        {"3", "Wrong syntax: 3\n", {}, {3}},
        {"3=1=0", "Wrong syntax: 3=1=0\n", {}, {3}},
        {" 3==1 ,, 12 = 1", "Set(3,1) \nSet(12,1) \n", {3, 12}, {}},
        {"2=1,2=0", "Set(2,0) \n", {}, {2}},
        {"7-5=0", "", {5, 6, 7}, {}},
        {"930=1,925=1", "Set(925,1) \nSet(930,1) \n", {925}, {}},
        {"", "", {5}, {}},
        // An empty value is no 0, and an interval needs both ends.
        {"5= ", "Wrong syntax: 5= . Value should be 0 or 1\n", {5}, {}},
        {"3=1,5-=0", "Wrong bit interval in 5-=0\n", {5}, {3}},
        {"-6=0", "Wrong bit interval in -6=0\n", {6}, {}},
        {"---=1", "Wrong bit interval in ---=1\n", {}, {0}},
        {" =1", "Wrong bit address:  in  =1\n", {}, {0}},
        {"99999999999=1", "Wrong bit address: 99999999999 in 99999999999=1\n", {}, {}},
        {"0-2000000000=1", "Wrong bit interval in 0-2000000000=1. The register has 926 bits\n", {5}, {0}},
        {"920-926=1", "Wrong bit interval in 920-926=1. The register has 926 bits\n", {}, {920}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        GP7chip chip;
        ASSERT_EQ(926, chip.nBits());
        chip.Set(5).Set(6).Set(7);
        bool applied = false;
        const std::string out = testutil::capture_stdout([&] { applied = bit_parser(c.input, &chip); });
        EXPECT_EQ(std::string("Input: ") + c.input + "\n" + c.printed, out);
        EXPECT_EQ(std::string(c.printed).find("Wrong") == std::string::npos, applied);
        for (int b : c.set)
            EXPECT_EQ(1, chip.Bit(b)) << b;
        for (int b : c.cleared)
            EXPECT_EQ(0, chip.Bit(b)) << b;
    }
}
