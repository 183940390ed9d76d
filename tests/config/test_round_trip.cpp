// A configuration using every element of the paths, general, IO and plugins
// sections: it validates against the shipped schema, and saving gives back
// the file as it was read, again and again.
#include <string>

#include <gtest/gtest.h>

#include "ConfigTestUtil.h"
#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/PathConfig.h"
#include "config/PluginParser.h"
#include "daq/vme/VMEmanager.h"

namespace {

const std::string plugin_dir = TEST_PLUGIN_DIR;

// In the layout the document saver writes.
std::string every_element()
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
           "  <plugins>\n"
           "    <plugin name=\"board\" module=\"tboard\" lang=\"C++\">\n"
           "      <lib>libtestplugin.so</lib>\n"
           "      <hook>create_test_board</hook>\n"
           "    </plugin>\n"
           "    <interrupt>\n"
           "      <lib>libtestplugin.so</lib>\n"
           "      <enable>test_enable</enable>\n"
           "      <disable>test_disable</disable>\n"
           "      <reset>test_reset</reset>\n"
           "      <start>test_start</start>\n"
           "      <stop>test_stop</stop>\n"
           "    </interrupt>\n"
           "    <run_managers>\n"
           "      <data>\n"
           "        <lib>libtestplugin.so</lib>\n"
           "        <hook>test_run_manager</hook>\n"
           "      </data>\n"
           "      <int_trg>\n"
           "        <lib>libtestplugin.so</lib>\n"
           "        <hook>test_run_manager</hook>\n"
           "      </int_trg>\n"
           "    </run_managers>\n"
           "    <data_logger>\n"
           "      <lib>libtestplugin.so</lib>\n"
           "      <hook>test_logger</hook>\n"
           "      <options>fast</options>\n"
           "    </data_logger>\n"
           "  </plugins>\n"
           "  <paths>\n"
           "    <libpaths>\n"
           "      <path>" + plugin_dir + "</path>\n"
           "      <path>/opt/brisko/lib</path>\n"
           "    </libpaths>\n"
           "    <gladepaths>\n"
           "      <path>/opt/brisko/glade</path>\n"
           "    </gladepaths>\n"
           "    <configpaths>\n"
           "      <path>/home/lab/configs</path>\n"
           "    </configpaths>\n"
           "    <pythonpaths>\n"
           "      <path>/home/lab/python</path>\n"
           "    </pythonpaths>\n"
           "  </paths>\n"
           "  <IO compression=\"false\" max_size=\"1000000\" run_number=\"42\" prefix=\"beam-\" "
           "path=\"/data/runs/\"/>\n"
           "  <modules>\n"
           "    <tboard name=\"0x10\"/>\n"
           "  </modules>\n"
           "  <general>\n"
           "    <pedestals>\n"
           "      <nevts>5000</nevts>\n"
           "      <update>false</update>\n"
           "      <method>fast</method>\n"
           "      <min_sample>240</min_sample>\n"
           "      <period>600</period>\n"
           "    </pedestals>\n"
           "    <daq>\n"
           "      <monitor_buffer>145</monitor_buffer>\n"
           "      <soap_port>6000</soap_port>\n"
           "      <vme_driver>\n"
           "        <lib>libtestplugin.so</lib>\n"
           "        <hook>test_vme_factory</hook>\n"
           "      </vme_driver>\n"
           "    </daq>\n"
           "    <colors>\n"
           "      <histograms>\n"
           "        <background>white</background>\n"
           "        <foreground>#2d2d9d</foreground>\n"
           "        <axis>black</axis>\n"
           "      </histograms>\n"
           "      <tracers>\n"
           "        <background>#000000000000</background>\n"
           "        <foreground>#0000ffff0000</foreground>\n"
           "        <axis>#ffffffffffff</axis>\n"
           "      </tracers>\n"
           "    </colors>\n"
           "  </general>\n"
           "</Sorbek>\n";
}

} // namespace

class RoundTripTest : public SectionFixture {
protected:
    void TearDown() override
    {
        SectionFixture::TearDown();
        VMEmanager::set_default_factory();
    }
    template <class T>
    T* handler(const char* name)
    {
        return dynamic_cast<T*>(cfg->get_handler(name));
    }
};

TEST_F(RoundTripTest, EveryElementValidatesParsesAndSavesBackUnchanged)
{
    const std::string text = every_element();
    const std::string input = write("every.xml", text);
    cfg->add_schema_path(BRISKO_SOURCE_DIR "/config");
    cfg->set_do_validate(true);
    std::string out = testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(input.c_str())); });
    EXPECT_EQ(std::string::npos, out.find("Could not")) << out;

    // What was read.
    IOConfig* io = handler<IOConfig>("IO");
    GeneralConfig* general = handler<GeneralConfig>("general");
    PluginParser* plugins = handler<PluginParser>("plugins");
    ASSERT_TRUE(io && general && plugins);
    EXPECT_FALSE(io->get_compression());
    EXPECT_EQ(42, io->get_run_number());
    EXPECT_EQ(GeneralConfig::fast, general->get_ped_method());
    EXPECT_EQ(600, general->get_ped_period());
    EXPECT_EQ(6000, general->get_soap_port());
    EXPECT_EQ("#0000ffff0000", general->tracers().fg());
    EXPECT_TRUE(VMEmanager::VME()->connected());
    EXPECT_EQ(0, plugins->enable_interrupts());
    EXPECT_NE(nullptr, plugins->create_logger(false, 1));
    EXPECT_NE(nullptr, cfg->get_handler("tboard"));

    const std::string first = dir + "/first.xml";
    ASSERT_GT(cfg->save_config(first.c_str()), 0);
    EXPECT_EQ(text, testutil::read_file(first));

    // The saved file validates, and feeding it back gives the same bytes.
    cfg->reset();
    out = testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(first.c_str())); });
    EXPECT_NE(std::string::npos, out.find("Using schema: ")) << out;
    const std::string second = dir + "/second.xml";
    ASSERT_GT(cfg->save_config(second.c_str()), 0);
    EXPECT_EQ(testutil::read_file(first), testutil::read_file(second));
}

TEST_F(RoundTripTest, ChangedValuesAreSavedInPlaceAndValidate)
{
    const std::string input = write("every.xml", every_element());
    testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(input.c_str())); });
    handler<IOConfig>("IO")->set_run_number(43);
    handler<GeneralConfig>("general")->set_ped_update(true);
    handler<GeneralConfig>("general")->hsts(HstColor("black", "yellow", "white"));
    handler<PathConfig>("paths")->add_path(PathConfig::configpath, "/home/lab/more");

    const std::string first = dir + "/first.xml";
    ASSERT_GT(cfg->save_config(first.c_str()), 0);
    std::string expected = every_element();
    for (const auto& change : {
             std::make_pair<std::string, std::string>("run_number=\"42\"", "run_number=\"43\""),
             {"<update>false</update>", "<update>true</update>"},
             {"<background>white</background>\n        <foreground>#2d2d9d</foreground>\n"
              "        <axis>black</axis>",
              "<background>black</background>\n        <foreground>yellow</foreground>\n"
              "        <axis>white</axis>"},
             {"<path>/home/lab/configs</path>\n",
              "<path>/home/lab/configs</path>\n      <path>/home/lab/more</path>\n"},
         }) {
        const auto at = expected.find(change.first);
        ASSERT_NE(std::string::npos, at) << change.first;
        expected.replace(at, change.first.size(), change.second);
    }
    EXPECT_EQ(expected, testutil::read_file(first));

    cfg->reset();
    cfg->add_schema_path(BRISKO_SOURCE_DIR "/config");
    cfg->set_do_validate(true);
    testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(first.c_str())); });
    EXPECT_EQ(43, handler<IOConfig>("IO")->get_run_number());
}

// Files as the configuration fuzzer made them: each is read, saved, read
// again and saved again to the same bytes.
TEST_F(RoundTripTest, OddFilesSaveToAFixedPoint)
{
    const char* const files[] = {
        // A blank line where the sections go.
        "<Sorbek>\n  \n</Sorbek>",
        // Paths inside a block of paths: freed with it, not again.
        "<Sorbek><paths><libpaths><paths><libpaths/></paths></libpaths></paths></Sorbek>",
        // A general in a boolean that reading the first one repairs, and so
        // frees, before the list of generals gets to it.
        "<Sorbek><general><pedestals><update>1<general/></update></pedestals></general></Sorbek>",
    };
    for (const char* text : files) {
        SCOPED_TRACE(text);
        const std::string first = dir + "/first.xml";
        const std::string second = dir + "/second.xml";
        cfg->reset();
        testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(write("odd.xml", text).c_str())); });
        ASSERT_GT(cfg->save_config(first.c_str()), 0);
        cfg->reset();
        testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(first.c_str())); });
        ASSERT_GT(cfg->save_config(second.c_str()), 0);
        EXPECT_EQ(testutil::read_file(first), testutil::read_file(second));
    }
}
