// The VME access library: the dummy default, driver factories loaded by name,
// their failure messages, and the random numbers.
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "common/TestUtil.h"
#include "daq/vme/VMEmanager.h"

namespace {

const std::string driver_dir = TEST_DRIVER_DIR;
const std::string driver = driver_dir + "/libtestvme.so";

std::string find_in_driver_dir(const std::string& name)
{
    return driver_dir + "/" + name;
}

std::string find_nothing(const std::string&)
{
    return std::string();
}

// The message up to the loader's own error text, which is the system's.
std::string head(const std::string& out)
{
    return out.substr(0, out.find('\t') + 1);
}

class VMEFactoryTest : public ::testing::Test {
protected:
    void TearDown() override { VMEmanager::set_default_factory(); }
};

} // namespace

TEST_F(VMEFactoryTest, DefaultManagerIsNeverConnectedAndReadsZero)
{
    VMEmanager* vme = VMEmanager::VME();
    ASSERT_NE(nullptr, vme);
    EXPECT_EQ(vme, VMEmanager::VME());
    EXPECT_EQ(vme, __dummy_factory__());
    EXPECT_FALSE(vme->connected());
    EXPECT_EQ(0, vme->read8(0x10));
    EXPECT_EQ(0, vme->read16(0x10));
    EXPECT_EQ(0UL, vme->read32(0x10));
    EXPECT_EQ(0UL, vme->readA32D32(0x10));
    uint32_t block[2] = {7, 7};
    EXPECT_EQ(0UL, vme->readA32BLT32(0x10, block, 2));
    EXPECT_EQ(0UL, vme->readA322EVME(0x10, block, 2));
    EXPECT_EQ(7U, block[0]);
    unsigned int fifo[3] = {9, 9, 9};
    EXPECT_EQ(0, vme->readA24_fifo32(0x20, 2, fifo));
    EXPECT_EQ(0U, fifo[0]);
    EXPECT_EQ(0U, fifo[1]);
    EXPECT_EQ(9U, fifo[2]);
}

TEST_F(VMEFactoryTest, DriverFromLibraryReadsFifoThroughRead32)
{
    EXPECT_EQ("", testutil::capture_stdout(
                      [] { VMEmanager::set_factory("counting_vme_factory", driver); }));
    std::unique_ptr<VMEmanager> vme(VMEmanager::VME());
    ASSERT_TRUE(vme);
    EXPECT_TRUE(vme->connected());
    unsigned int fifo[4] = {0, 0, 0, 99};
    EXPECT_EQ(0, vme->readA24_fifo32(0x300, 3, fifo));
    EXPECT_EQ(1U, fifo[0]);
    EXPECT_EQ(2U, fifo[1]);
    EXPECT_EQ(3U, fifo[2]);
    EXPECT_EQ(99U, fifo[3]);

    VMEmanager::set_default_factory();
    EXPECT_FALSE(VMEmanager::VME()->connected());
}

TEST_F(VMEFactoryTest, LibraryNamesAreResolvedByTheFinder)
{
    std::string out = testutil::capture_stdout(
        [] { VMEmanager::set_factory("counting_vme_factory", "libtestvme.so"); });
    EXPECT_EQ("VMEmanager::set_factory: could not open libtestvme.so\n\t", head(out));
    EXPECT_EQ('\n', out.back());
    EXPECT_FALSE(VMEmanager::VME()->connected());

    out = testutil::capture_stdout([] {
        VMEmanager::set_factory("counting_vme_factory", "libtestvme.so", find_nothing);
    });
    EXPECT_EQ("VMEmanager::set_factory: could not open libtestvme.so\n\t", head(out));
    EXPECT_FALSE(VMEmanager::VME()->connected());

    out = testutil::capture_stdout([] {
        VMEmanager::set_factory("counting_vme_factory", "libtestvme.so", find_in_driver_dir);
    });
    EXPECT_EQ("", out);
    std::unique_ptr<VMEmanager> vme(VMEmanager::VME());
    EXPECT_TRUE(vme->connected());
}

TEST_F(VMEFactoryTest, MissingRoutineKeepsTheFactoryInForce)
{
    std::string out = testutil::capture_stdout(
        [] { VMEmanager::set_factory("missing_routine", driver); });
    EXPECT_EQ("VMEmanager::set_factory: could not find missing_routine in " + driver + "\n\t",
              head(out));
    EXPECT_FALSE(VMEmanager::VME()->connected());

    testutil::capture_stdout([] { VMEmanager::set_factory("counting_vme_factory", driver); });
    out = testutil::capture_stdout([] { VMEmanager::set_factory("<unknown>", ""); });
    EXPECT_EQ("VMEmanager::set_factory: could not find <unknown> in \n\t", head(out));
    std::unique_ptr<VMEmanager> vme(VMEmanager::VME());
    EXPECT_TRUE(vme->connected());
}

TEST_F(VMEFactoryTest, EmptyLibraryIsTheProgramItself)
{
    testutil::capture_stdout([] { VMEmanager::set_factory("counting_vme_factory", driver); });
    const std::string out =
        testutil::capture_stdout([] { VMEmanager::set_factory("__dummy_factory__", ""); });
    EXPECT_EQ("", out);
    EXPECT_EQ(__dummy_factory__(), VMEmanager::VME());
}

// Random numbers ---------------------------------------------------------------

namespace {

const double rand_max = 2147483647.0;

// One polar draw, as the library makes it, from the C library's sequence.
void polar(double& p, double& q, double& f)
{
    double s;
    do {
        p = 2.0 * (std::rand() / rand_max) - 1.0;
        q = 2.0 * (std::rand() / rand_max) - 1.0;
        s = p * p + q * q;
    } while (s > 1.0 || s == 0.0);
    f = std::sqrt(-2.0 * std::log(s) / s);
}

// Leaves the generator without a value any later call could use.
void forget_cached_value()
{
    randgauss(std::nan(""), 1.0);
}

} // namespace

TEST(VMERandomTest, UniformAndFlat)
{
    std::srand(3);
    const int r1 = std::rand();
    const int r2 = std::rand();
    std::srand(3);
    EXPECT_DOUBLE_EQ(r1 / rand_max, randuniform());
    EXPECT_DOUBLE_EQ(2.0 + 2.0 * r2 / rand_max, randflat(2.0, 4.0));
}

TEST(VMERandomTest, GaussUsesBothValuesOfOneDraw)
{
    forget_cached_value();
    std::srand(11);
    const double a = randgauss(5.0, 2.0);
    const double b = randgauss(5.0, 2.0);
    const int next = std::rand();

    std::srand(11);
    double p, q, f;
    polar(p, q, f);
    EXPECT_DOUBLE_EQ(5.0 + 2.0 * p * f, a);
    EXPECT_DOUBLE_EQ(5.0 + 2.0 * q * f, b);
    EXPECT_EQ(next, std::rand());
}

TEST(VMERandomTest, GaussDropsTheCachedValueWhenArgumentsChange)
{
    forget_cached_value();
    std::srand(17);
    const double a = randgauss(5.0, 2.0);
    const double c = randgauss(6.0, 2.0);

    std::srand(17);
    double p, q, f;
    polar(p, q, f);
    EXPECT_DOUBLE_EQ(5.0 + 2.0 * p * f, a);
    polar(p, q, f);
    EXPECT_DOUBLE_EQ(6.0 + 2.0 * p * f, c);
}

TEST(VMERandomTest, CorrelatedPairs)
{
    for (int i = 0; i < 20; ++i) {
        double x, y;
        randgauss2d(1.0, 2.0, -3.0, 0.5, 1.0, &x, &y);
        EXPECT_NEAR((x - 1.0) / 2.0, (y + 3.0) / 0.5, 1e-9);
        randgauss2d(1.0, 2.0, -3.0, 0.5, -1.0, &x, &y);
        EXPECT_NEAR((x - 1.0) / 2.0, -(y + 3.0) / 0.5, 1e-9);
    }
    // Uncorrelated: x and y come from the two deviates of one draw.
    forget_cached_value();
    std::srand(5);
    double x, y;
    randgauss2d(0.0, 1.0, 0.0, 1.0, 0.0, &x, &y);
    std::srand(5);
    double p, q, f;
    polar(p, q, f);
    const double h = std::sqrt(0.5);
    EXPECT_NEAR(h * (p + q) * f, x, 1e-12);
    EXPECT_NEAR(h * (p - q) * f, y, 1e-12);
}
