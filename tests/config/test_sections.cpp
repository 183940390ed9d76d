// The paths, IO and general sections: seeding, defaults, searches and saving.
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ConfigTestUtil.h"
#include "config/GeneralConfig.h"
#include "config/IOConfig.h"
#include "config/PathConfig.h"
#include "daq/RunSettings.h"
#include "daq/vme/VMEmanager.h"
#include "data/Analysis.h"

namespace {

std::vector<std::string> entries(const SearchPath& list)
{
    return std::vector<std::string>(list.begin(), list.end());
}

const std::string plugin_dir = TEST_PLUGIN_DIR;
const std::string plugin = plugin_dir + "/libtestplugin.so";

} // namespace

// Paths ------------------------------------------------------------------------

class PathSectionTest : public SectionFixture {
protected:
    PathConfig* paths() { return dynamic_cast<PathConfig*>(cfg->get_handler("paths")); }
    // The `path` texts of one block of the saved document.
    std::vector<std::string> saved(const std::string& block)
    {
        std::vector<xmlNodePtr> nodes;
        cfg->get_node("//paths/" + block + "/path", nodes);
        std::vector<std::string> out;
        for (xmlNodePtr n : nodes)
            out.push_back(cfg->get_node_value(n));
        return out;
    }
};

TEST_F(PathSectionTest, SeededListsWithoutEnvironmentOrProgramPath)
{
    PathConfig p;
    const std::string lib = PathConfig::get_default_lib_dir();
    const std::string glade = PathConfig::get_default_glade_dir();
    ASSERT_FALSE(lib.empty());
    EXPECT_EQ((std::vector<std::string>{"", ".", lib}), entries(p.get_path(PathConfig::libpath)));
    EXPECT_EQ((std::vector<std::string>{"", ".", glade}),
              entries(p.get_path(PathConfig::gladepath)));
    EXPECT_EQ((std::vector<std::string>{"", "."}), entries(p.get_path(PathConfig::configpath)));
    EXPECT_EQ((std::vector<std::string>{"", "."}), entries(p.get_path(PathConfig::pythonpath)));
    // The per-user folders exist once a handler was built.
    EXPECT_TRUE(PathUtils::exists(lib));
    EXPECT_TRUE(PathUtils::exists(glade));
}

TEST_F(PathSectionTest, SeedingOrderFromEnvironmentAndProgramPath)
{
    const std::string prefix = testutil::make_temp_dir("prefix");
    ASSERT_EQ(0, ::mkdir((prefix + "/bin").c_str(), 0755));
    testutil::write_file(prefix + "/bin/brisko", "");
    PathUtils::set_program_path((prefix + "/bin/brisko").c_str());
    setenv("TELLUM_LIB_DIR", "/a: /b", 1);
    setenv("TELLUM_GLADE_DIR", "/g", 1);

    PathConfig p;
    EXPECT_EQ((std::vector<std::string>{"", ".", prefix + "/lib", "/a", "/b",
                                        PathConfig::get_default_lib_dir()}),
              entries(p.get_path(PathConfig::libpath)));
    EXPECT_EQ((std::vector<std::string>{"", ".", "/g", prefix + "/share/brisko/glade",
                                        PathConfig::get_default_glade_dir()}),
              entries(p.get_path(PathConfig::gladepath)));
}

TEST_F(PathSectionTest, ConfiguredDirectoriesFollowTheSeededOnesAndAreSaved)
{
    std::string out = testutil::capture_stdout([&] {
        load("<Sorbek><paths>"
             "<libpaths><path>/opt/x</path><path>/opt/y:/opt/x</path><other>/no</other></libpaths>"
             "<fonts><path>/f</path></fonts>"
             "<pythonpaths><path>/py</path></pythonpaths>"
             "</paths></Sorbek>");
    });
    EXPECT_EQ("Element fonts is invalid in <paths> section\n", out);
    EXPECT_EQ((std::vector<std::string>{"", ".", PathConfig::get_default_lib_dir(), "/opt/x",
                                        "/opt/y"}),
              entries(paths()->get_path(PathConfig::libpath)));
    EXPECT_EQ((std::vector<std::string>{"", ".", "/py"}),
              entries(paths()->get_path(PathConfig::pythonpath)));

    paths()->add_path(PathConfig::gladepath, "/opt/glade");
    const std::string first = dir + "/first.xml";
    ASSERT_GT(cfg->save_config(first.c_str()), 0);
    ASSERT_GT(cfg->save_config(first.c_str()), 0);
    // Every block once, only the directories not seeded; `fonts` stays.
    EXPECT_EQ((std::vector<std::string>{"/opt/x", "/opt/y"}), saved("libpaths"));
    EXPECT_EQ((std::vector<std::string>{"/opt/glade"}), saved("gladepaths"));
    EXPECT_EQ((std::vector<std::string>{}), saved("configpaths"));
    EXPECT_EQ((std::vector<std::string>{"/py"}), saved("pythonpaths"));
    std::vector<xmlNodePtr> blocks;
    EXPECT_EQ(5, cfg->get_node("//paths/*", blocks));
    EXPECT_EQ(1, cfg->get_node("//paths/configpaths", blocks));
}

TEST_F(PathSectionTest, ConfiguredDirectoryAlsoSeededFromEnvironmentIsKept)
{
    setenv("TELLUM_LIB_DIR", "/opt/env", 1);
    cfg->reset();
    load("<Sorbek><paths><libpaths><path>/opt/env</path></libpaths></paths></Sorbek>");
    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    EXPECT_EQ((std::vector<std::string>{"/opt/env"}), saved("libpaths"));
}

TEST_F(PathSectionTest, SavingWithoutPathsElementCreatesIt)
{
    load("<Sorbek/>");
    paths()->set_path(PathConfig::configpath, SearchPath("/c1:/c2"));
    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    EXPECT_EQ((std::vector<std::string>{"/c1", "/c2"}), saved("configpaths"));

    PathConfig other;
    other.cpy(*paths());
    EXPECT_EQ(entries(paths()->get_path(PathConfig::configpath)),
              entries(other.get_path(PathConfig::configpath)));
}

TEST_F(PathSectionTest, FindLibrarySearchOrder)
{
    const std::string env_dir = testutil::make_temp_dir("env");
    const std::string conf_dir = testutil::make_temp_dir("conf");
    const std::string ld_dir = testutil::make_temp_dir("ld");
    const std::string cwd_dir = testutil::make_temp_dir("cwd");
    testutil::write_file(env_dir + "/libboth.so", "");
    testutil::write_file(conf_dir + "/libboth.so", "");
    testutil::write_file(conf_dir + "/libconf.so", "");
    testutil::write_file(ld_dir + "/libconf.so", "");
    testutil::write_file(ld_dir + "/libld.so", "");
    testutil::write_file(cwd_dir + "/libhere.so", "");
    setenv("TELLUM_LIB_DIR", env_dir.c_str(), 1);
    const char* old_ld = std::getenv("LD_LIBRARY_PATH");
    const std::string saved_ld = old_ld ? old_ld : "";
    setenv("LD_LIBRARY_PATH", (ld_dir + ":" + saved_ld).c_str(), 1);
    cfg->reset();
    load("<Sorbek><paths><libpaths><path>" + conf_dir + "</path></libpaths></paths></Sorbek>");
    ASSERT_EQ(0, ::chdir(cwd_dir.c_str()));

    EXPECT_EQ(env_dir + "/libboth.so", PathConfig::find_library("libboth.so"));
    EXPECT_EQ(conf_dir + "/libconf.so", PathConfig::find_library("libconf.so"));
    EXPECT_EQ(ld_dir + "/libld.so", PathConfig::find_library("libld.so"));
    EXPECT_EQ(cwd_dir + "/libhere.so", PathConfig::find_library("libhere.so"));
    EXPECT_EQ("", PathConfig::find_library("libnowhere.so"));
    EXPECT_EQ("", PathConfig::find_library(""));

    // Without a "paths" handler of its own class the search still runs.
    cfg->clean();
    cfg->register_handler("paths", new SectionParser);
    EXPECT_EQ(ld_dir + "/libld.so", PathConfig::find_library("libld.so"));
    EXPECT_EQ("", PathConfig::find_library("libboth.so"));

    if (old_ld)
        setenv("LD_LIBRARY_PATH", saved_ld.c_str(), 1);
    else
        unsetenv("LD_LIBRARY_PATH");
}

TEST_F(PathSectionTest, FindGladeFile)
{
    const std::string glade_dir = testutil::make_temp_dir("glade");
    testutil::write_file(glade_dir + "/brisko.glade", "");
    load("<Sorbek><paths><gladepaths><path>" + glade_dir + "</path></gladepaths></paths></Sorbek>");
    EXPECT_EQ(glade_dir + "/brisko.glade", PathConfig::find_glade_file("brisko.glade"));
    EXPECT_EQ("", PathConfig::find_glade_file("missing.glade"));
    testutil::write_file(PathConfig::get_default_glade_dir() + "/user.glade", "");
    EXPECT_EQ(PathConfig::get_default_glade_dir() + "/user.glade",
              PathConfig::find_glade_file("user.glade"));
}

// IO ---------------------------------------------------------------------------

class IOSectionTest : public SectionFixture {
protected:
    IOConfig* io() { return dynamic_cast<IOConfig*>(cfg->get_handler("IO")); }
};

TEST_F(IOSectionTest, ConstructionValuesHoldWithoutElementAndNothingIsSaved)
{
    load("<Sorbek><general/></Sorbek>");
    ASSERT_NE(nullptr, io());
    EXPECT_FALSE(io()->get_compression());
    EXPECT_EQ(500000u, io()->get_max_size());
    EXPECT_EQ("/tmp", io()->get_output_path());
    EXPECT_EQ("run", io()->get_prefix());
    EXPECT_EQ(0, io()->get_run_number());
    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    EXPECT_EQ(nullptr, cfg->get_io_node());
}

TEST_F(IOSectionTest, MissingAttributesTakeTheirOwnDefaults)
{
    load("<Sorbek><IO/></Sorbek>");
    EXPECT_TRUE(io()->get_compression());
    EXPECT_EQ(500000000u, io()->get_max_size());
    EXPECT_EQ("/tmp/", io()->get_output_path());
    EXPECT_EQ("tellum-", io()->get_prefix());
    EXPECT_EQ(0, io()->get_run_number());
}

TEST_F(IOSectionTest, AttributesAreReadAndWrittenBack)
{
    load("<Sorbek><IO path=\"/data/my runs/\" compression=\"FALSE\" max_size=\"1000\" "
         "prefix=\"beam \" run_number=\"3\"/></Sorbek>");
    EXPECT_FALSE(io()->get_compression());
    EXPECT_EQ(1000u, io()->get_max_size());
    EXPECT_EQ("/data/my runs/", io()->get_output_path());
    EXPECT_EQ("beam ", io()->get_prefix());
    EXPECT_EQ(3, io()->get_run_number());

    io()->set_run_number(7);
    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    xmlNodePtr n = cfg->get_io_node();
    EXPECT_EQ("7", cfg->get_attribute<std::string>(n, "run_number"));
    EXPECT_EQ("false", cfg->get_attribute<std::string>(n, "compression"));
    EXPECT_EQ("1000", cfg->get_attribute<std::string>(n, "max_size"));
    EXPECT_EQ("beam ", cfg->get_attribute<std::string>(n, "prefix"));
    EXPECT_EQ("/data/my runs/", cfg->get_attribute<std::string>(n, "path"));
}

TEST_F(IOSectionTest, MaxSizeIsAWholeNumberOfBytesOfAnySizeElseTheSectionIsNotRead)
{
    for (const char* text : {"3000000000", "99999999999", "18446744073709551615", " 42 "}) {
        cfg->reset();
        load(std::string("<Sorbek>\n<IO max_size=\"") + text + "\"/></Sorbek>");
        const unsigned long bytes = std::stoul(text);
        EXPECT_EQ(bytes, io()->get_max_size()) << text;
        ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
        EXPECT_EQ(std::to_string(bytes), cfg->get_attribute<std::string>(cfg->get_io_node(), "max_size"));
    }
    for (const char* text : {"-5", "1e9", "10MB", "+5", "0x10", "", "18446744073709551616"}) {
        cfg->reset();
        const std::string out = testutil::capture_stdout([&] {
            load(std::string("<Sorbek>\n\n<IO prefix=\"beam-\" run_number=\"4\" max_size=\"") + text + "\"/></Sorbek>");
        });
        EXPECT_NE(std::string::npos, out.find("node IO gives and error while parsing at line 3")) << out;
        EXPECT_NE(std::string::npos, out.find(std::string("IO max_size \"") + text + "\" is no whole number of bytes"))
            << out;
        // As without the element; saved back as written while nothing changes.
        EXPECT_EQ(500000u, io()->get_max_size()) << text;
        EXPECT_EQ("run", io()->get_prefix());
        EXPECT_EQ(0, io()->get_run_number());
        ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
        EXPECT_EQ(text, cfg->get_attribute<std::string>(cfg->get_io_node(), "max_size"));
        EXPECT_EQ("beam-", cfg->get_attribute<std::string>(cfg->get_io_node(), "prefix"));
        // Logging counts the run number up: the operator's prefix stays.
        io()->set_run_number(1);
        ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
        EXPECT_EQ("beam-", cfg->get_attribute<std::string>(cfg->get_io_node(), "prefix"));
        io()->set_max_size(1000);
        ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
        EXPECT_EQ("1000", cfg->get_attribute<std::string>(cfg->get_io_node(), "max_size"));
    }
}

TEST_F(IOSectionTest, TextForm)
{
    IOConfig a;
    a.set_compression(true);
    a.set_max_size(12);
    a.set_run_number(5);
    a.set_prefix("p-");
    a.set_output_path("/out");
    IOConfig b;
    b = a;
    std::ostringstream os;
    os << b;
    EXPECT_EQ("IOConfig: \n   + compress: on\n   + mx. size: 12\n   + run no. : 5\n"
              "   + prefix  : p-\n   + path    : /out",
              os.str());
}

// General ----------------------------------------------------------------------

class GeneralSectionTest : public SectionFixture {
protected:
    void TearDown() override
    {
        SectionFixture::TearDown();
        VMEmanager::set_default_factory();
    }
    GeneralConfig* general() { return dynamic_cast<GeneralConfig*>(cfg->get_handler("general")); }
    std::string text(const std::string& xpath)
    {
        xmlNodePtr n = node(xpath);
        return n ? cfg->get_node_value(n) : "<none>";
    }
    int count(const std::string& xpath)
    {
        std::vector<xmlNodePtr> nodes;
        return cfg->get_node(xpath, nodes);
    }
};

TEST_F(GeneralSectionTest, ConstructionValues)
{
    GeneralConfig g;
    EXPECT_EQ(10000, g.get_ped_nevts());
    EXPECT_TRUE(g.get_ped_update());
    EXPECT_EQ(GeneralConfig::normal, g.get_ped_method());
    EXPECT_EQ(256, g.get_ped_min_sample());
    EXPECT_EQ(0, g.get_ped_period());
    EXPECT_EQ(1024, g.get_monitor_buffer());
    EXPECT_EQ(50000, g.get_soap_port());
    EXPECT_EQ("", g.get_vme_lib());
    EXPECT_EQ("", g.get_vme_factory());
    for (const HstColor& c : {g.hsts(), g.tracers()}) {
        EXPECT_EQ("white", c.bg());
        EXPECT_EQ("#2d2d9d", c.fg());
        EXPECT_EQ("black", c.axis());
    }
}

// The run managers and analyses read these without including the
// configuration: a program that has none runs with the sections' own values.
TEST_F(GeneralSectionTest, WhatTheAcquisitionReadsFollowsTheSectionsAndIsTheirsWithoutThem)
{
    load("<Sorbek><IO compression=\"true\" max_size=\"77\"/><general><pedestals><method>fast</method>"
         "<min_sample>9</min_sample></pedestals><daq><monitor_buffer>33</monitor_buffer></daq>"
         "</general></Sorbek>");
    EXPECT_EQ(33, RunSettings::current().monitor_buffer());
    EXPECT_TRUE(RunSettings::current().compression());
    EXPECT_EQ(77ul, RunSettings::current().max_size());
    EXPECT_EQ(9, Analysis::current_pedestal_settings().min_sample);
    EXPECT_FALSE(Analysis::current_pedestal_settings().normal_method);
    general()->set_ped_min_sample(12);   // as the window lends it
    EXPECT_EQ(12, Analysis::current_pedestal_settings().min_sample);

    RunSettings::hand_in(nullptr);
    Analysis::set_pedestal_source(nullptr);
    const GeneralConfig g;
    const IOConfig io;
    const RunSettings& none = RunSettings::current();
    EXPECT_EQ(g.get_ped_update(), none.ped_update());
    EXPECT_EQ(g.get_ped_period(), none.ped_period());
    EXPECT_EQ(g.get_monitor_buffer(), none.monitor_buffer());
    EXPECT_EQ(io.get_compression(), none.compression());
    EXPECT_EQ(io.get_max_size(), none.max_size());
    EXPECT_EQ(nullptr, none.create_logger(true, 0));
    EXPECT_EQ(g.get_ped_min_sample(), Analysis::current_pedestal_settings().min_sample);
    EXPECT_TRUE(Analysis::current_pedestal_settings().normal_method);
}

TEST_F(GeneralSectionTest, EmptyBlocksTakeTheMissingElementDefaults)
{
    load("<Sorbek><general><pedestals/><daq/></general></Sorbek>");
    EXPECT_EQ(10000, general()->get_ped_nevts());
    EXPECT_TRUE(general()->get_ped_update());
    EXPECT_EQ(256, general()->get_ped_min_sample());
    EXPECT_EQ(300, general()->get_ped_period());
    EXPECT_EQ(GeneralConfig::normal, general()->get_ped_method());
    EXPECT_EQ(1024, general()->get_monitor_buffer());
    EXPECT_EQ(50000, general()->get_soap_port());
}

TEST_F(GeneralSectionTest, ValuesAreReadAndWrongMethodFallsBackToNormal)
{
    const std::string out = testutil::capture_stdout([&] {
        load("<Sorbek><general><pedestals><nevts>5000</nevts><update>0</update>"
             "<min_sample>240</min_sample><period>60</period><method>slow</method></pedestals>"
             "<daq><monitor_buffer>145</monitor_buffer><soap_port>6000</soap_port></daq>"
             "</general></Sorbek>");
    });
    EXPECT_NE(std::string::npos, out.find("Wrong method for pedestal calculation: slow\n")) << out;
    EXPECT_EQ(5000, general()->get_ped_nevts());
    EXPECT_FALSE(general()->get_ped_update());
    EXPECT_EQ(240, general()->get_ped_min_sample());
    EXPECT_EQ(60, general()->get_ped_period());
    EXPECT_EQ(GeneralConfig::normal, general()->get_ped_method());
    EXPECT_EQ(145, general()->get_monitor_buffer());
    EXPECT_EQ(6000, general()->get_soap_port());

    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    EXPECT_EQ("normal", text("//pedestals/method"));
    EXPECT_EQ("false", text("//pedestals/update"));

    general()->set_ped_method(GeneralConfig::fast);
    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    EXPECT_EQ("fast", text("//pedestals/method"));
}

TEST_F(GeneralSectionTest, MissingColoursKeepTheirValues)
{
    load("<Sorbek><general><colors><tracers><foreground>green</foreground></tracers>"
         "</colors></general></Sorbek>");
    EXPECT_EQ("white", general()->tracers().bg());
    EXPECT_EQ("green", general()->tracers().fg());
    EXPECT_EQ("black", general()->tracers().axis());
    EXPECT_EQ("#2d2d9d", general()->hsts().fg());

    HstColor c("a", "b", "c");
    c.set_colors("", "B", "");
    EXPECT_EQ("a", c.bg());
    EXPECT_EQ("B", c.fg());
    EXPECT_EQ("c", c.axis());
    general()->hsts(c);
    EXPECT_EQ("B", general()->hsts().fg());
}

TEST_F(GeneralSectionTest, SavingCreatesTheSectionAndNeverDoublesBlocks)
{
    load("<Sorbek/>");
    general()->set_ped_period(120);
    const std::string file = dir + "/saved.xml";
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    const std::string first = testutil::read_file(file);
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    EXPECT_EQ(first, testutil::read_file(file));
    EXPECT_EQ(1, count("/Sorbek/general"));
    EXPECT_EQ(1, count("/Sorbek/general/pedestals"));
    EXPECT_EQ(1, count("/Sorbek/general/daq"));
    EXPECT_EQ(1, count("/Sorbek/general/colors/histograms"));
    EXPECT_EQ(1, count("/Sorbek/general/colors/tracers"));
    EXPECT_EQ("120", text("//pedestals/period"));
    EXPECT_EQ("10000", text("//pedestals/nevts"));
    EXPECT_EQ("50000", text("//daq/soap_port"));
    EXPECT_EQ("#2d2d9d", text("//tracers/foreground"));

    // A section parsed without blocks gets them once as well.
    load("<Sorbek><general/></Sorbek>");
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    EXPECT_EQ(1, count("//pedestals"));
    EXPECT_EQ(1, count("//daq"));
    EXPECT_EQ(1, count("//colors"));
}

TEST_F(GeneralSectionTest, ASectionsElementsAreItsContentAndFreedNodesAreForgotten)
{
    // A general inside general's content is no section: its port is not
    // read, and the save that overwrites min_sample frees it unharmed. One
    // inside an element without a handler still is.
    const std::string file = dir + "/saved.xml";
    for (const auto& c : {std::make_pair("<general><pedestals><min_sample><general><daq><soap_port>6001</soap_port>"
                                         "</daq><pedestals/></general></min_sample></pedestals></general>", 50000),
                          std::make_pair("<wrap><general><daq><soap_port>6002</soap_port></daq></general></wrap>", 6002)}) {
        SCOPED_TRACE(c.first);
        cfg->reset();
        load(std::string("<Sorbek>") + c.first + "</Sorbek>");
        EXPECT_EQ(c.second, general()->get_soap_port());
        ASSERT_GT(cfg->save_config(file.c_str()), 0);
        const std::string first = testutil::read_file(file);
        load(first);
        ASSERT_GT(cfg->save_config(file.c_str()), 0);
        EXPECT_EQ(first, testutil::read_file(file));
    }

    // An edit that frees the blocks the section read: the save makes them
    // anew instead of writing into freed ones.
    cfg->reset();
    load("<Sorbek><general><pedestals/><daq/></general></Sorbek>");
    cfg->set_value<std::string>(cfg->get_general_node(), "gone");
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    EXPECT_EQ("10000", text("/Sorbek/general/pedestals/nevts"));
    EXPECT_EQ("50000", text("/Sorbek/general/daq/soap_port"));
}

TEST_F(GeneralSectionTest, VmeDriverIsInstalledFromTheLibrarySearch)
{
    ASSERT_FALSE(VMEmanager::VME()->connected());
    // Found only along the configured library folders.
    load("<Sorbek><paths><libpaths><path>" + plugin_dir + "</path></libpaths></paths>"
         "<general><daq><vme_driver><lib>libtestplugin.so</lib><hook>test_vme_factory</hook>"
         "</vme_driver></daq></general></Sorbek>");
    EXPECT_TRUE(VMEmanager::VME()->connected());
    EXPECT_EQ("libtestplugin.so", general()->get_vme_lib());
    EXPECT_EQ("test_vme_factory", general()->get_vme_factory());

    // The driver is not written back, and stays installed after a reset.
    ASSERT_GT(cfg->save_config((dir + "/saved.xml").c_str()), 0);
    EXPECT_EQ(1, count("//vme_driver"));
    cfg->reset();
    EXPECT_TRUE(VMEmanager::VME()->connected());
}

TEST_F(GeneralSectionTest, EveryVmeDriverIsInstalledInTurnAndFailuresKeepTheFactory)
{
    std::string out = testutil::capture_stdout([&] {
        load("<Sorbek><general><daq>"
             "<vme_driver><lib>" + plugin + "</lib><hook>test_vme_factory</hook></vme_driver>"
             "</daq></general>"
             "<modules><vme_driver><lib>" + plugin + "</lib></vme_driver></modules></Sorbek>");
    });
    EXPECT_EQ("*** There is no routine for the VME factory ***\n"
              "VMEmanager::set_factory: could not find <unknown> in " + plugin + "\n\t",
              out.substr(0, out.find('\t') + 1));
    EXPECT_EQ("<unknown>", general()->get_vme_factory());
    EXPECT_EQ(plugin, general()->get_vme_lib());
    // The first driver stays installed.
    EXPECT_TRUE(VMEmanager::VME()->connected());

    out = testutil::capture_stdout([&] {
        load("<Sorbek><general><daq><vme_driver><hook>__dummy_factory__</hook></vme_driver>"
             "</daq></general></Sorbek>");
    });
    EXPECT_EQ("", out);
    EXPECT_EQ("", general()->get_vme_lib());
    EXPECT_FALSE(VMEmanager::VME()->connected());
}
