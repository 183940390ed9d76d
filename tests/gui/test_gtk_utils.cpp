// The GTK helpers: the file chooser, the prompts and the help, answered as
// an operator would while they run; button images, radio groups and menus.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "GlibLog.h"
#include "GuiTest.h"
#include "Modal.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "gui/GladeApp.h"
#include "gui/GtkUtils.h"

using guitest::Later;
using guitest::collect;
using guitest::shown;

namespace {

bool matches(GtkFileFilter* filter, const char* name)
{
    GtkFileFilterInfo info = {};
    info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
    info.display_name = name;
    return gtk_file_filter_filter(filter, &info);
}

} // namespace

TEST_F(GuiTest, FileChooserFiltersCancelAndSave)
{
    const std::string dir = testutil::make_temp_dir("chooser");
    guitest::give_chooser_settings();
    const char* filters[] = {"Config Files|*.xml", "All|*", nullptr};

    std::vector<std::string> names;
    bool xml = false, txt = true, all = false;
    bool seen = false;
    {
        Later operator_([&] {
            GtkWidget* d = shown(GTK_TYPE_FILE_CHOOSER_DIALOG);
            if (!d)
                return false;
            if (!seen) {
                seen = true;
                GSList* list = gtk_file_chooser_list_filters(GTK_FILE_CHOOSER(d));
                for (GSList* l = list; l; l = l->next)
                    names.emplace_back(gtk_file_filter_get_name(GTK_FILE_FILTER(l->data)));
                if (g_slist_length(list) == 2) {
                    xml = matches(GTK_FILE_FILTER(list->data), "a.xml");
                    txt = matches(GTK_FILE_FILTER(list->data), "a.txt");
                    all = matches(GTK_FILE_FILTER(list->next->data), "a.txt");
                }
                g_slist_free(list);
            }
            // A key pressed while the chooser still settles (on a loaded
            // machine) can go astray: it is pressed again until the
            // chooser closes.
            guitest::key(d, "Escape");
            return false;
        });
        EXPECT_EQ("", get_file_name("Load configuration", a_OpenFile, dir.c_str(), filters));
    }
    EXPECT_EQ((std::vector<std::string>{"Config Files", "All"}), names);
    EXPECT_TRUE(xml);
    EXPECT_FALSE(txt);
    EXPECT_TRUE(all);

    // Saving asks before a file is overwritten (the toolkit's own question;
    // its answer is the toolkit's too); a new name is returned as it is.
    bool confirms = false;
    std::string folder;
    {
        Later operator_([&] {
            GtkWidget* d = shown(GTK_TYPE_FILE_CHOOSER_DIALOG);
            if (!d)
                return false;
            GtkFileChooser* chooser = GTK_FILE_CHOOSER(d);
            confirms = gtk_file_chooser_get_do_overwrite_confirmation(chooser);
            gchar* current = gtk_file_chooser_get_current_folder(chooser);
            folder = current ? current : "";
            g_free(current);
            gtk_file_chooser_set_current_name(chooser, "new.xml");
            // The chooser holds back an answer while it still reads the
            // folder or looks whether the file exists (slow on a loaded
            // machine, or under a sanitizer): it is given again until the
            // chooser closes.
            gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
            return false;
        });
        EXPECT_EQ(dir + "/new.xml", get_file_name("Save configuration", a_SaveFile, dir.c_str(), filters));
    }
    EXPECT_TRUE(confirms);
    EXPECT_EQ(dir, folder);
}

TEST_F(GuiTest, PromptForSeveralTextsOkAndCancel)
{
    std::vector<std::string> labels;
    auto answer = [&](int response) {
        return [&, response] {
            GtkWidget* d = shown(GTK_TYPE_DIALOG);
            if (!d)
                return false;
            std::vector<GtkWidget*> found, entries;
            collect(d, GTK_TYPE_LABEL, found);
            collect(d, GTK_TYPE_ENTRY, entries);
            labels.clear();
            for (GtkWidget* l : found)
                if (!gtk_widget_get_ancestor(l, GTK_TYPE_BUTTON))
                    labels.emplace_back(gtk_label_get_text(GTK_LABEL(l)));
            for (size_t i = 0; i < entries.size(); ++i)
                gtk_entry_set_text(GTK_ENTRY(entries[i]), ("v" + std::to_string(i)).c_str());
            gtk_dialog_response(GTK_DIALOG(d), response);
            return true;
        };
    };
    std::vector<std::string> values = {"old"};
    {
        Later operator_(answer(GTK_RESPONSE_ACCEPT));
        EXPECT_EQ(2, get_a_string_list("New point", "Name:Value", values));
    }
    EXPECT_EQ((std::vector<std::string>{"Name", "Value"}), labels);
    EXPECT_EQ((std::vector<std::string>{"v0", "v1"}), values);
    {
        Later operator_(answer(GTK_RESPONSE_REJECT));
        EXPECT_EQ(0, get_a_string_list("New point", "Name;Value", values));
    }
    EXPECT_TRUE(values.empty());
}

TEST_F(GuiTest, HelpOpensOnlyAFolderThatIsNamed)
{
    g_unsetenv("TELLUM_HELPDIR");
    EXPECT_EQ("", testutil::capture_stdout([] { gtk_help_display("monitoring-chapter"); }));
    g_setenv("TELLUM_HELPDIR", "relative/help", TRUE);
    const std::string out = testutil::capture_stdout([] { gtk_help_display("monitoring-chapter"); });
    g_unsetenv("TELLUM_HELPDIR");
    EXPECT_EQ(0u, out.find("Error opening help file: ")) << out;
    // Each said so in a message too, which goes here.
    GList* tops = gtk_window_list_toplevels();
    int messages = 0;
    for (GList* l = tops; l; l = l->next)
        if (GTK_IS_MESSAGE_DIALOG(l->data)) {
            ++messages;
            gtk_widget_destroy(GTK_WIDGET(l->data));
        }
    g_list_free(tops);
    EXPECT_EQ(2, messages);
}

TEST_F(GuiTest, ButtonImageInsideABoxIsReplacedInItsPlace)
{
    GlibLog log;
    GtkWidget* button = gtk_button_new();
    GtkWidget* box = gtk_hbox_new(FALSE, 0);
    GtkWidget* off = GTK_WIDGET(g_object_ref_sink(gtk_image_new()));
    GtkWidget* on = GTK_WIDGET(g_object_ref_sink(gtk_image_new()));
    gtk_box_pack_start(GTK_BOX(box), off, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Monitor"), FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(button), box);
    change_button_pixmap(button, on);
    EXPECT_EQ(nullptr, gtk_widget_get_parent(off));
    GList* children = gtk_container_get_children(GTK_CONTAINER(box));
    EXPECT_EQ(on, children->data);
    g_list_free(children);
    change_button_pixmap(button, off);
    EXPECT_EQ(box, gtk_widget_get_parent(off));
    change_button_pixmap(box, on);
    EXPECT_EQ(1, log.count("GTK_IS_BUTTON(btn)"));
    gtk_widget_destroy(GTK_WIDGET(g_object_ref_sink(button)));
    for (GtkWidget* w : {button, off, on})
        g_object_unref(w);
}

TEST_F(GuiTest, PixmapsComeFromTheInterfaceSearchPath)
{
    ConfigParser::theConfig()->reset();
    EXPECT_EQ("Could not find monitor.png\n",
              testutil::capture_stdout([] { EXPECT_EQ(nullptr, create_pixmap(nullptr, "monitor.png")); }));
    GladeApp::add_path(BRISKO_BINARY_DIR "/gui/icons");
    GtkWidget* image = create_pixmap(nullptr, "monitor.png");
    ASSERT_TRUE(GTK_IS_IMAGE(image));
    EXPECT_FALSE(g_object_is_floating(image));
    EXPECT_EQ(1u, G_OBJECT(image)->ref_count);
    GdkPixbuf* picture = gtk_image_get_pixbuf(GTK_IMAGE(image));
    ASSERT_NE(nullptr, picture);
    EXPECT_EQ(24, gdk_pixbuf_get_width(picture));
    gtk_widget_destroy(image);
    g_object_unref(image);
}
