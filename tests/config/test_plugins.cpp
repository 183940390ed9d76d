// Plug-in loading: libraries along the search list, hooks by name, factories,
// interrupt hooks, failures and the write-back of the settings dialog.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConfigTestUtil.h"
#include "config/GeneralConfig.h"
#include "config/ModuleParser.h"
#include "config/PathConfig.h"
#include "config/PluginParser.h"
#include "ostrel/RunManager.h"

namespace {

const std::string plugin_dir = TEST_PLUGIN_DIR;
const std::string plugin = plugin_dir + "/libtestplugin.so";

std::vector<std::string> main_calls;

gpointer symbol(const std::string& lib, const char* name)
{
    GModule* handle = PluginParser::load_library(lib);
    gpointer address = nullptr;
    if (!handle || !g_module_symbol(handle, name, &address))
        return nullptr;
    return address;
}

// What the test plug-in's hooks did.
std::string journal(const std::string& lib = plugin)
{
    gpointer f = symbol(lib, "testplugin_journal");
    return f ? reinterpret_cast<const char* (*)()>(f)() : "<no journal>";
}

void clear_journal(const std::string& lib = plugin)
{
    if (gpointer f = symbol(lib, "testplugin_clear"))
        reinterpret_cast<void (*)()>(f)();
}

Ostrel::RunManager* builtin(const std::string& type, const std::string& name)
{
    main_calls.push_back("builtin " + type + " " + name);
    return nullptr;
}

} // namespace

// A run-manager factory of the program itself (the test exports its symbols).
extern "C" Ostrel::RunManager* main_scan_factory(const std::string& type, const std::string& name)
{
    main_calls.push_back("main " + type + " " + name);
    return nullptr;
}

class PluginTest : public SectionFixture {
protected:
    void SetUp() override
    {
        SectionFixture::SetUp();
        clear_journal();
        main_calls.clear();
    }
    void TearDown() override
    {
        SectionFixture::TearDown();
        PluginParser::set_builtin_factory(nullptr);
    }
    PluginParser* plugins() { return dynamic_cast<PluginParser*>(cfg->get_handler("plugins")); }
    // Parses the plugins section given, and returns what parsing printed.
    std::string load_plugins(const std::string& content, const std::string& more = "")
    {
        return testutil::capture_stdout(
            [&] { load("<Sorbek>\n<plugins>" + content + "</plugins>" + more + "</Sorbek>\n"); });
    }
    std::string plugin_element(const std::string& name, const std::string& module,
                               const std::string& lib, const std::string& hook)
    {
        return "<plugin name=\"" + name + "\" module=\"" + module + "\"><lib>" + lib +
               "</lib><hook>" + hook + "</hook></plugin>";
    }
};

TEST_F(PluginTest, WithoutPluginsTheDefaultsServe)
{
    load("<Sorbek><plugins/></Sorbek>");
    PluginParser* p = plugins();
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(-1, p->enable_interrupts());
    p->disable_interrupts();
    p->reset_interrupts();
    p->start_interrupts();
    p->stop_interrupts();
    EXPECT_EQ(nullptr, p->create_logger(true, 100));
    EXPECT_EQ(nullptr, p->create_run_manager("data", "main"));

    PluginParser::set_builtin_factory(builtin);
    EXPECT_EQ(nullptr, p->create_run_manager("pedestal", "ped"));
    EXPECT_EQ((std::vector<std::string>{"builtin pedestal ped"}), main_calls);
}

TEST_F(PluginTest, EveryKindOfHookIsLoadedAlongTheSearchList)
{
    // Not on the system loader's path: only the configured folder has it.
    EXPECT_EQ("", PathConfig::find_library("libtestplugin.so"));
    const std::string out = load_plugins(
        "<plugin name=\"Board\" module=\"tboard\" lang=\"C++\"><lib>libtestplugin.so</lib>"
        "<hook>create_test_board</hook></plugin>"
        "<interrupt><lib>libtestplugin.so</lib><enable>test_enable</enable>"
        "<disable>test_disable</disable><reset>test_reset</reset><start>test_start</start>"
        "<stop>test_stop</stop></interrupt>"
        "<run_managers>"
        "<data><lib>libtestplugin.so</lib><hook>test_run_manager</hook></data>"
        "<custom><lib>libtestplugin.so</lib><hook>test_run_manager</hook></custom>"
        "<scan><lib/><hook>main_scan_factory</hook></scan>"
        "</run_managers>"
        "<data_logger><lib>libtestplugin.so</lib><hook>test_logger</hook><options/></data_logger>",
        "<paths><libpaths><path>" + plugin_dir + "</path></libpaths></paths>"
        "<modules><tboard name=\"0x10\"/><tboard name=\"b2\"/></modules>");
    EXPECT_EQ("*** RunManager of type: custom cannot be handled ***\n", out);
    EXPECT_EQ(plugin, PathConfig::find_library("libtestplugin.so"));

    // The section hook's parser serves the module elements of its name.
    SectionParser* board = cfg->get_handler("tboard");
    ASSERT_NE(nullptr, dynamic_cast<ModuleParser*>(board));
    EXPECT_EQ("tboard", board->get_name());
    EXPECT_EQ(board, static_cast<SectionParser*>(cfg->get_id_handler(16)));
    EXPECT_EQ("new board\nparse board 0x10\nparse board b2\nparsed board\nparsed board\n",
              journal());
    clear_journal();

    PluginParser* p = plugins();
    EXPECT_EQ(0, p->enable_interrupts());
    p->disable_interrupts();
    p->reset_interrupts();
    p->start_interrupts();
    p->stop_interrupts();
    EXPECT_EQ("enable\ndisable\nreset\nstart\nstop\n", journal());
    clear_journal();

    // Factories by type and by the class name of the built-in manager.
    PluginParser::set_builtin_factory(builtin);
    for (const char* type : {"data", "DataRunManager", "custom"}) {
        Ostrel::RunManager* rm = p->create_run_manager(type, std::string("rm-") + type);
        ASSERT_NE(nullptr, rm);
        EXPECT_EQ(std::string("rm-") + type, rm->get_id().str());
        delete rm;
    }
    EXPECT_EQ("run manager data rm-data\nrun manager DataRunManager rm-DataRunManager\n"
              "run manager custom rm-custom\n",
              journal());
    EXPECT_EQ(nullptr, p->create_run_manager("scan", "s1"));
    EXPECT_EQ(nullptr, p->create_run_manager("ScanRunManager", "s2"));
    EXPECT_EQ(nullptr, p->create_run_manager("pulse", "p"));
    EXPECT_EQ(nullptr, p->create_run_manager("Data", "d"));
    EXPECT_EQ((std::vector<std::string>{"main scan s1", "main ScanRunManager s2",
                                        "builtin pulse p", "builtin Data d"}),
              main_calls);
    clear_journal();

    // The data logger, switched off and on.
    void* logger = p->create_logger(true, 1000);
    EXPECT_NE(nullptr, logger);
    p->enable_data_logger(false);
    EXPECT_EQ(nullptr, p->create_logger(false, 5));
    p->enable_data_logger(true);
    EXPECT_EQ(logger, p->create_logger(false, 5));
    EXPECT_EQ("logger compressed 1000\nlogger plain 5\n", journal());

    // Back to the defaults; the switch stays where it is.
    p->enable_data_logger(false);
    p->reset_plugins();
    EXPECT_EQ(-1, p->enable_interrupts());
    EXPECT_EQ(nullptr, p->create_logger(true, 1));
    main_calls.clear();
    EXPECT_EQ(nullptr, p->create_run_manager("data", "x"));
    EXPECT_EQ((std::vector<std::string>{"builtin data x"}), main_calls);

    // A reset deletes the plug-in's parser and the library stays usable.
    clear_journal();
    cfg->reset();
    EXPECT_EQ("deleted board\n", journal());
    EXPECT_EQ(nullptr, cfg->get_handler("tboard"));
}

TEST_F(PluginTest, MissingLibrariesAndSymbolsAreReportedAndDefaultsStay)
{
    const std::string out = load_plugins(
        plugin_element("a", "ma", "libnot_there.so", "create_test_board") +
        plugin_element("b", "mb", "libnot_there.so", "create_test_board") +
        plugin_element("c", "mc", plugin, "no_such_hook") +
        "<run_managers><data><lib>" + plugin + "</lib><hook>no_such_factory</hook></data>"
        "</run_managers>"
        "<interrupt><lib>" + plugin + "</lib><enable>no_enable_here</enable>"
        "<stop>test_stop</stop></interrupt>"
        "<data_logger><lib>libnot_there.so</lib><hook>test_logger</hook></data_logger>");
    EXPECT_EQ("Could not load library libnot_there.so\n\n"
              "Could not load library libnot_there.so\n\n"
              "Could not find symbol no_such_hook in library " + plugin + "\n"
              "Could not find symbol no_such_factory in library " + plugin + "\n"
              "*** Problems loading hook for RunManager data\n"
              "Could not find symbol no_enable_here in library " + plugin + "\n"
              "Could not load library libnot_there.so\n\n",
              out);
    for (const char* module : {"ma", "mb", "mc"})
        EXPECT_EQ(nullptr, cfg->get_handler(module)) << module;
    PluginParser* p = plugins();
    EXPECT_EQ(-1, p->enable_interrupts());
    EXPECT_EQ(nullptr, p->create_logger(true, 1));
    EXPECT_EQ(nullptr, p->create_run_manager("data", "x"));
    p->stop_interrupts();
    EXPECT_EQ("stop\n", journal());
}

TEST_F(PluginTest, LibraryThatFailedIsTriedAgain)
{
    const std::string lib_dir = testutil::make_temp_dir("retry");
    const std::string paths = "<paths><libpaths><path>" + lib_dir + "</path></libpaths></paths>";
    const std::string element =
        plugin_element("r", "retry", "libretry_plugin.so", "create_test_board");
    std::string out = load_plugins(element, paths);
    EXPECT_EQ("Could not load library libretry_plugin.so\n\n", out);
    EXPECT_EQ(nullptr, cfg->get_handler("retry"));

    std::filesystem::copy_file(plugin, lib_dir + "/libretry_plugin.so");
    cfg->reset();
    out = load_plugins(element, paths);
    EXPECT_EQ("", out);
    EXPECT_NE(nullptr, cfg->get_handler("retry"));
    EXPECT_EQ("new board\n", journal("libretry_plugin.so"));
}

TEST_F(PluginTest, LibrariesAreCachedByName)
{
    GModule* first = PluginParser::load_library(plugin);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, PluginParser::load_library(plugin));
    GModule* self = PluginParser::load_library("");
    ASSERT_NE(nullptr, self);
    EXPECT_EQ(self, PluginParser::load_library("__main__"));
    EXPECT_EQ(first, PluginParser::libraries().find(plugin));

    Hook none;
    EXPECT_FALSE(none);
    EXPECT_TRUE(!none);
    EXPECT_EQ(nullptr, none());
    Hook section = PluginParser::load_symbol("create_nothing", plugin);
    ASSERT_TRUE(static_cast<bool>(section));
    EXPECT_EQ(nullptr, section());
    EXPECT_EQ("nothing\n", journal());
}

TEST_F(PluginTest, IncompleteElementsAreReported)
{
    const std::string out = load_plugins(
        "<plugin name=\"n1\" module=\"m1\"><hook>create_test_board</hook></plugin>"
        "<plugin name=\"n2\" module=\"m2\"><lib>" + plugin + "</lib></plugin>"
        "<plugin name=\"py\" module=\"m3\" lang=\"Python\"><lib>" + plugin + "</lib>"
        "<hook>create_test_board</hook></plugin>"
        "<foo/><!-- a comment -->"
        "<data_logger><hook>test_logger</hook></data_logger>"
        "<data_logger><lib>" + plugin + "</lib></data_logger>"
        "<interrupt><enable>test_enable</enable></interrupt>" +
        plugin_element("nothing", "m4", plugin, "create_nothing"));
    EXPECT_EQ("ConfigParser: plugin n1 does not have the 'lib' element\n"
              "ConfigParser: plugin n2 does not have the 'hook' element\n"
              "Python modules not allowed\n"
              "Wrong element foo in plugins\n"
              "ConfigParser: data_logger  does not have the 'lib' element\n"
              "ConfigParser: data_logger  does not have the 'hook' element\n",
              out);
    for (const char* module : {"m1", "m2", "m3", "m4"})
        EXPECT_EQ(nullptr, cfg->get_handler(module)) << module;
    EXPECT_EQ(-1, plugins()->enable_interrupts());
    EXPECT_EQ("nothing\n", journal());
}

TEST_F(PluginTest, ConfigErrorsEndTheSection)
{
    const std::string late = plugin_element("late", "late", plugin, "create_test_board");
    std::string out = load_plugins(
        "<plugin module=\"m\"><lib>" + plugin + "</lib><hook>create_test_board</hook></plugin>" +
        late);
    EXPECT_EQ("ConfigParser: node plugins gives and error while parsing at line 2 : \n"
              "attribute name not present\n",
              out);
    EXPECT_EQ(nullptr, cfg->get_handler("late"));

    cfg->reset();
    out = load_plugins("<run_managers><data><lib>" + plugin + "</lib></data></run_managers>" + late);
    EXPECT_EQ("ConfigParser: node plugins gives and error while parsing at line 2 : \n"
              "Element data/hook does not exist\n",
              out);
    EXPECT_EQ(nullptr, cfg->get_handler("late"));

    // A hook may throw it too, as a board plug-in does when it cannot open
    // its socket.
    cfg->reset();
    out = load_plugins(plugin_element("f", "failing", plugin, "create_failing_board") + late);
    EXPECT_EQ("ConfigParser: node plugins gives and error while parsing at line 2 : \n"
              "test board: no socket\n",
              out);
    EXPECT_EQ(nullptr, cfg->get_handler("failing"));
}

TEST_F(PluginTest, ParsersMayNotTakeBuiltinSectionNames)
{
    const std::string out = load_plugins(
        plugin_element("a", "alpha", plugin, "create_shared_board") +
        plugin_element("b", "beta", plugin, "create_shared_board") +
        plugin_element("c", "paths", plugin, "create_shared_board") +
        plugin_element("d", "general", plugin, "create_test_board"));
    EXPECT_EQ("ConfigParser: plugin c cannot serve <paths>: the name belongs to a built-in "
              "section\n"
              "ConfigParser: plugin d cannot serve <general>: the name belongs to a built-in "
              "section\n",
              out);
    EXPECT_NE(nullptr, dynamic_cast<PathConfig*>(cfg->get_handler("paths")));
    EXPECT_NE(nullptr, dynamic_cast<GeneralConfig*>(cfg->get_handler("general")));
    ASSERT_NE(nullptr, cfg->get_handler("alpha"));
    EXPECT_EQ(cfg->get_handler("alpha"), cfg->get_handler("beta"));
    EXPECT_EQ("new shared\nnew board\ndeleted board\n", journal());

    // The shared parser goes once.
    clear_journal();
    cfg->reset();
    EXPECT_EQ("deleted shared\n", journal());

    // A module named twice: the later parser serves it, the earlier goes.
    clear_journal();
    load_plugins(plugin_element("e", "twice", plugin, "create_test_board") +
                 plugin_element("f", "twice", plugin, "create_test_board"));
    EXPECT_EQ("new board\nnew board\ndeleted board\n", journal());
    cfg->reset();
    EXPECT_EQ("new board\nnew board\ndeleted board\ndeleted board\n", journal());
}

TEST_F(PluginTest, WriteBackEditsTheDocumentOnly)
{
    const std::string out = load_plugins("<interrupt><lib>old</lib><enable>e</enable>"
                                         "<stop>s</stop></interrupt>");
    EXPECT_EQ("Could not load library old\n\nCould not load library old\n\n", out);
    PluginParser* p = plugins();
    p->set_interrups("libnew.so", "", "d", "st", "", "r");
    xmlNodePtr irq = node("//interrupt");
    ASSERT_NE(nullptr, irq);
    EXPECT_EQ("libnew.so", cfg->get_value<std::string>(irq, "lib"));
    EXPECT_EQ(nullptr, cfg->find_element(irq, "enable"));
    EXPECT_EQ(nullptr, cfg->find_element(irq, "stop"));
    EXPECT_EQ("d", cfg->get_value<std::string>(irq, "disable"));
    EXPECT_EQ("st", cfg->get_value<std::string>(irq, "start"));
    EXPECT_EQ("r", cfg->get_value<std::string>(irq, "reset"));
    EXPECT_EQ(-1, p->enable_interrupts());

    p->set_data_logger("l", "h", "");
    p->set_runmanager("scan", "l1", "h1");
    p->set_runmanager("scan", "l2", "h2");
    p->set_plugin("n", "m", "l", "h");
    std::vector<xmlNodePtr> nodes;
    EXPECT_EQ(1, cfg->get_node("//plugins/run_managers/scan", nodes));
    EXPECT_EQ("l2", cfg->get_value<std::string>(nodes.front(), "lib"));
    EXPECT_EQ("h2", cfg->get_value<std::string>(nodes.front(), "hook"));
    EXPECT_EQ("h", cfg->get_value<std::string>(node("//data_logger"), "hook"));
    EXPECT_NE(nullptr, node("//data_logger/options"));
    EXPECT_EQ(0, cfg->get_node("//plugin", nodes));
    EXPECT_EQ(nullptr, p->create_logger(true, 1));

    // Without a plugins element one is made.
    load("<Sorbek/>");
    plugins()->set_runmanager("data", "l", "h");
    EXPECT_NE(nullptr, node("/Sorbek/plugins/run_managers/data/hook"));
}

TEST(PluginExceptionTest, Message)
{
    EXPECT_STREQ("PluginException", PluginException().what());
    EXPECT_STREQ("no such plug-in", PluginException("no such plug-in").what());
}
