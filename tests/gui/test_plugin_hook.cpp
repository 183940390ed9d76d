// The hook chooser: a library's entry points from nm while it is not
// loaded (and it stays unloaded), from its own list once it is; the nm
// listing's filter; the language guess; a library typed by name and found
// on the search path.
#include <cstdlib>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gmodule.h>
#include <gtest/gtest.h>

#include "GuiTest.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "config/PathConfig.h"
#include "gui/ListRows.h"
#include "gui/dialogs/PluginHook.h"

namespace {

using Names = std::vector<std::string>;

std::string combo_rows(GtkWidget* combo)
{
    std::string out;
    for (const std::string& name : column_texts(gtk_combo_box_get_model(GTK_COMBO_BOX(combo))))
        out += name + " ";
    return out;
}

} // namespace

TEST(PluginHookSymbols, NmWithoutOpeningThenTheLibrarysOwnList)
{
    ASSERT_EQ(nullptr, std::getenv("HOOK_PLUGIN_OPENED")) << "run this case in a process of its own";
    Names names;
    EXPECT_EQ(0, find_symbols(HOOK_PLUGIN, names));
    const std::string long_name = "a_function_whose_name_goes_on" + [] {
        std::string s;
        for (int i = 0; i < 40; ++i)
            s += "_and_on";
        return s;
    }();
    EXPECT_EQ((Names{long_name, "alpha_hook", "tellum_get_exported_symbols", "zeta_hook"}), names);
    EXPECT_EQ(nullptr, std::getenv("HOOK_PLUGIN_OPENED")) << "listing ran the library's constructor";

    GModule* library = g_module_open(HOOK_PLUGIN, G_MODULE_BIND_LAZY);
    ASSERT_NE(nullptr, library);
    EXPECT_EQ(0, find_symbols(HOOK_PLUGIN, names));
    EXPECT_EQ((Names{"zeta_hook", "alpha_hook", "start_init_x"}), names);

    // The listing's filter: global text symbols without a parameter list,
    // sorted, nothing with _init or _fini, nothing after "no symbol".
    nm_symbols("0000000000001139 T b_fn\n"
               "0000000000001130 T a_fn\n"
               "0000000000001120 t local_fn\n"
               "0000000000004010 D some_data\n"
               "0000000000001110 T start_init_x\n"
               "0000000000001100 T my_fini_hook\n"
               "0000000000001150 T ns::f(int)\n"
               "nm: other.so: no symbols\n"
               "0000000000001160 T after_fn\n",
               names);
    EXPECT_EQ((Names{"a_fn", "b_fn"}), names);

    // A path is one argument to nm, never shell text.
    const std::string dir = testutil::make_temp_dir("nm");
    const std::string text = dir + "/not a library";
    testutil::write_file(text, "text\n");
    EXPECT_NE(0, find_symbols(text + "; touch " + dir + "/pwned", names));
    EXPECT_NE(0, find_symbols(text, names));
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(g_file_test((dir + "/pwned").c_str(), G_FILE_TEST_EXISTS));

    for (const char* cpp : {"libx.so", "LIBX.SO", "lib.dylib", "a.dll", "x.o", "x.lib"})
        EXPECT_EQ("c++", figure_out_lang(cpp)) << cpp;
    for (const char* python : {"module.py", "noextension", "dir.so/file", "x.a"})
        EXPECT_EQ("python", figure_out_lang(python)) << python;
}

TEST_F(GuiTest, HookChooserFindsALibraryOnTheSearchPath)
{
    ConfigParser* config = ConfigParser::theConfig();
    config->reset();
    auto* paths = dynamic_cast<PathConfig*>(config->get_handler("paths"));
    ASSERT_NE(nullptr, paths);
    paths->add_path(PathConfig::libpath, PLUGIN_TEST_DIR);
    ASSERT_NE(nullptr, g_module_open(HOOK_PLUGIN, G_MODULE_BIND_LAZY));

    GBytes* bytes = g_resources_lookup_data("/org/korvane/Tellum/glade/brisko.glade", G_RESOURCE_LOOKUP_FLAGS_NONE,
                                            nullptr);
    ASSERT_NE(nullptr, bytes);
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    PluginHook chooser("libhook_plugin.so", "");
    ASSERT_EQ(0, chooser.init(data, int(size), "hook_dialog"));
    g_bytes_unref(bytes);

    GtkWidget* combo = chooser.get_widget("comboHook");
    EXPECT_EQ("zeta_hook alpha_hook start_init_x ", combo_rows(combo));
    EXPECT_EQ("zeta_hook", chooser.hook());
    EXPECT_EQ("libhook_plugin.so", chooser.lib());

    // The operator picks another hook, then types a library found nowhere:
    // the list stays as it was.
    guitest::show_and_wait(chooser.get_main_window());
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 1);
    EXPECT_EQ("alpha_hook", chooser.hook());
    GtkWidget* entry = chooser.get_widget("entryLibrary");
    ASSERT_TRUE(guitest::key(entry, "ctrl+a"));
    ASSERT_TRUE(guitest::type_text(entry, "libnowhere.so"));
    guitest::pump_until([&] { return chooser.get_text("entryLibrary") == "libnowhere.so"; }, 5);
    ASSERT_TRUE(guitest::click(chooser.get_widget("btnSymbols")));
    guitest::pump_until([&] { return chooser.lib() == "libnowhere.so"; }, 5);
    EXPECT_EQ("libnowhere.so", chooser.lib());
    EXPECT_EQ("zeta_hook alpha_hook start_init_x ", combo_rows(combo));
    EXPECT_EQ("alpha_hook", chooser.hook());
}
