// Dialogs of the main library built from its compiled-in description, with
// a fresh configuration (the built-in sections) and a scratch folder.
#ifndef BRISKO_TEST_GUI_DIALOG_TEST_H
#define BRISKO_TEST_GUI_DIALOG_TEST_H

#include <string>

#include <gio/gio.h>

#include "GuiTest.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "gui/GladeApp.h"

class DialogTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        ConfigParser::theConfig()->reset();
        dir = testutil::make_temp_dir("dialog");
    }
    void TearDown() override
    {
        GuiTest::TearDown();
        ConfigParser::theConfig()->reset();
    }

    // Builds the window from the top-level `root` of the bundle's description.
    static bool build(GladeApp* window, const char* root)
    {
        GBytes* bytes = g_resources_lookup_data("/org/korvane/Tellum/glade/brisko.glade",
                                                G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
        if (!bytes)
            return false;
        gsize size = 0;
        const auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        const int rc = window->init(text, static_cast<int>(size), root);
        g_bytes_unref(bytes);
        return rc == 0;
    }
    // Whether the window of that id has deleted itself.
    static bool gone(unsigned id) { return GladeApp::find_window(id) == nullptr; }

    std::string dir;
};

#endif
