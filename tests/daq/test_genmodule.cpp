// The module base: lookup, counters, parameters, run-file words and the
// compressed monitoring data.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include <zlib.h>

#include "common/TestModule.h"
#include "ostrel/DAQmanager.h"

namespace {

double bin(HstHistogram* h, int i)
{
    return hst_histogram_get_bin_content(h, i);
}

} // namespace

TEST(GenModule, FoundByIdentifierWhileAlive)
{
    auto a = std::make_unique<TestModule>("0x21");
    auto b = std::make_unique<TestModule>("22");
    EXPECT_EQ(a.get(), GenModule::find_module("0x21"));
    EXPECT_EQ(b.get(), GenModule::find_module(Ostrel::DAQid(22)));
    EXPECT_EQ(nullptr, GenModule::find_module("33"));
    a.reset();
    EXPECT_EQ(nullptr, GenModule::find_module("0x21"));
    EXPECT_EQ(b.get(), GenModule::find_module("22"));

    // A second module of the same identifier takes the entry over, and the
    // first one's going does not take it away.
    auto again = std::make_unique<TestModule>("22");
    EXPECT_EQ(again.get(), GenModule::find_module("22"));
    b.reset();
    EXPECT_EQ(again.get(), GenModule::find_module("22"));
}

TEST(GenModule, ParametersAndCounters)
{
    TestModule m("5", nullptr, 0xbeef);
    EXPECT_EQ(0xbeefUL, m.get_address());
    EXPECT_TRUE(m.pedestals().empty());
    EXPECT_TRUE(m.noises().empty());
    EXPECT_EQ(RunType::None, m.get_run_type());
    m.set_run_type(RunType::Pedestal);
    EXPECT_EQ(2, static_cast<int>(m.get_run_type()));

    m.set_par<std::string>("command", "setMask|0-3=1");
    ASSERT_TRUE(m.get_par("command")->set_from_string("logData|file=x"));
    EXPECT_EQ((std::vector<std::string>{"setMask|0-3=1", "logData|file=x"}), m.commands);

    m.reset_evt_counter();
    for (int i = 0; i < 3; ++i)
        m.increase_evt_counter();
    EXPECT_EQ(3UL, m.get_evt_counter());
    for (unsigned long i = 3; i < 0xFFFFFF; ++i)
        m.increase_evt_counter();
    EXPECT_EQ(0xFFFFFFUL, m.get_evt_counter());
    m.increase_evt_counter();
    EXPECT_EQ(0UL, m.get_evt_counter());

    // The framework's manager knows it as one of its modules.
    EXPECT_EQ(&m, Ostrel::DAQmanager::theDAQmanager()->find_module("5"));
}

TEST(GenModule, RunFileWords)
{
    // Without analysis: no channels, a 4-word pedestal record, no
    // configuration record and nothing to monitor.
    TestModule bare("0x1234", nullptr, 0, 0x3000);
    int n = -1;
    std::unique_ptr<unsigned int[]> words(bare.write_pedestals(n));
    ASSERT_EQ(4, n);
    EXPECT_EQ((std::vector<unsigned>{0xCAFE4004u, 0x1234u, 0u, 4u}),
              std::vector<unsigned>(words.get(), words.get() + 4));
    unsigned int word = 0;
    bare.set_header_description(word);
    EXPECT_EQ(0x3000u | 0x1234u, word);
    EXPECT_EQ(nullptr, bare.write_config(n));
    EXPECT_EQ(0, n);
    int size = -1;
    char* data = reinterpret_cast<char*>(&size);
    EXPECT_EQ(0, bare.get_monitor_data(size, &data));
    EXPECT_EQ(0, size);
    EXPECT_EQ(nullptr, data);
    bare.reset_monitor_data();
    bare.update_pedestals();

    TestModule m("77", new Analysis(2, 128, 100, 0, 500), 0, 0xe000);
    words.reset(m.write_pedestals(n));
    ASSERT_EQ(260, n);
    EXPECT_EQ(0xCAFE4000u | 260u, words[0]);
    EXPECT_EQ(77u, words[1]);
    EXPECT_EQ(2u << 16 | 128u, words[2]);
    EXPECT_EQ(0u, words[258]);
    EXPECT_EQ(260u, words[259]);
    m.set_header_description(word);
    EXPECT_EQ(2u << 20 | 0xe000u | 77u, word);
}

TEST(GenModule, CopyPedestalsTrustsOnlyAFullSet)
{
    TestModule m("8", new Analysis(1, 4, 10, 0, 10));
    Analysis* ana = m.get_analysis();

    // A new module has no values: nothing is copied, nothing is trusted.
    m.copy_pedestals();
    EXPECT_EQ(4, ana->get_n_pre());

    m.pedestals() = {100, 101, 102, 103};
    m.noises() = {2, 2, 0, 2};
    m.copy_pedestals();
    EXPECT_EQ(102.0, bin(ana->get_ped(), 2));
    EXPECT_EQ(0.0, bin(ana->get_noise(), 2));
    EXPECT_EQ(4, ana->get_n_pre());

    m.noises()[2] = 3;
    m.copy_pedestals();
    EXPECT_EQ(0, ana->get_n_pre());

    // Lists shorter than the channels: what is there is copied, the rest
    // counts as not set and keeps its value.
    ana->reset_pedestals();
    hst_histogram_set_bin_content(ana->get_ped(), 3, 55.0);
    m.pedestals() = {7, 8, 9};
    m.noises() = {1, 1};
    m.copy_pedestals();
    EXPECT_EQ(7.0, bin(ana->get_ped(), 0));
    EXPECT_EQ(8.0, bin(ana->get_ped(), 1));
    EXPECT_EQ(0.0, bin(ana->get_ped(), 2));
    EXPECT_EQ(55.0, bin(ana->get_ped(), 3));
    EXPECT_EQ(4, ana->get_n_pre());

    // Back from the analysis: the lists take one value per channel.
    for (int i = 0; i < 4; ++i) {
        hst_histogram_set_bin_content(ana->get_ped(), i, 200.0 + i);
        hst_histogram_set_bin_content(ana->get_noise(), i, 1.5);
    }
    m.update_pedestals();
    EXPECT_EQ((std::vector<double>{200, 201, 202, 203}), m.pedestals());
    EXPECT_EQ((std::vector<double>{1.5, 1.5, 1.5, 1.5}), m.noises());

    // Resetting the monitor empties the histograms and restores the
    // module's values.
    hst_histogram_fill(ana->get_hsig(0), 3.0, 1.0);
    m.reset_monitor_data();
    EXPECT_EQ(0.0, hst_histogram_entries(ana->get_hsig(0)));
    EXPECT_EQ(203.0, bin(ana->get_ped(), 3));
    EXPECT_EQ(0, ana->get_n_pre());
}

TEST(GenModule, MonitorDataIsTheCompressedStream)
{
    TestModule m("9", new Analysis(2, 16, 64, 0, 1024));
    Analysis* ana = m.get_analysis();
    for (int i = 0; i < 32; ++i)
        hst_histogram_set_bin_content(ana->get_ped(), i, 500.0 + i);
    hst_histogram_fill(ana->get_hsig(1), 300.0, 2.0);
    std::ostringstream expected;
    expected << *ana;

    int size = 0;
    char* data = nullptr;
    ASSERT_EQ(1, m.get_monitor_data(size, &data));
    std::unique_ptr<char[]> owned(data);
    ASSERT_GT(size, 0);
    EXPECT_LT(static_cast<size_t>(size), expected.str().size());

    std::string text(expected.str().size() + 16, '\0');
    uLongf length = text.size();
    ASSERT_EQ(Z_OK, uncompress(reinterpret_cast<Bytef*>(&text[0]), &length,
                               reinterpret_cast<const Bytef*>(data), size));
    text.resize(length);
    EXPECT_EQ(expected.str(), text);
}
