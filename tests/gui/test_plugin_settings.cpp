// The plug-in settings dialog as the operator uses it: every page's edits
// written back at OK, a bad element name refused, the configuration read
// again with the panels back, and a new configuration that does not read
// leaving the previous one running.
#include <algorithm>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "GuiTest.h"
#include "common/SetUpAcquisition.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "daq/DAQcontroller.h"
#include "daq/GenModule.h"
#include "daq/MainWindowView.h"
#include "gui/dialogs/PluginSettings.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

struct StandIn : MainWindowView {
    std::vector<std::string> calls;
    void set_module_list(std::vector<std::string> ids) override
    {
        std::string call = "modules";
        for (const std::string& id : ids)
            call += " " + id;
        calls.push_back(call);
    }
    void clear_modules() override { calls.push_back("clear"); }
    void update_run_menu(const std::string&, Ostrel::RunState::StatusType) override {}
    void stop_timer() override { calls.push_back("stop_timer"); }
    void start_timer() override { calls.push_back("start_timer"); }
    void acquisition_set_up() override { calls.push_back("set_up"); }
};

// Answers the prompts and messages that come up, every 20 ms from the
// main loop (also from a modal dialog's own): a prompt gets the next
// queued texts, the hook chooser picks the hook the next answer names, a
// message is read and confirmed.
class Operator {
public:
    Operator() : id_(g_timeout_add(20, &Operator::tick, this)) {}
    ~Operator() { g_source_remove(id_); }
    void answer(std::vector<std::string> texts) { answers.push_back(std::move(texts)); }

    std::deque<std::vector<std::string>> answers;
    std::vector<std::string> messages;

private:
    static void entries(GtkWidget* w, std::vector<GtkWidget*>& out)
    {
        if (GTK_IS_ENTRY(w) || GTK_IS_COMBO_BOX(w))
            out.push_back(w);
        GList* children = GTK_IS_CONTAINER(w) ? gtk_container_get_children(GTK_CONTAINER(w)) : nullptr;
        for (GList* l = children; l; l = l->next)
            entries(GTK_WIDGET(l->data), out);
        g_list_free(children);
    }
    static gboolean tick(gpointer self)
    {
        auto* op = static_cast<Operator*>(self);
        GList* tops = gtk_window_list_toplevels();
        for (GList* l = tops; l; l = l->next) {
            GtkWidget* w = GTK_WIDGET(l->data);
            if (!GTK_IS_DIALOG(w) || !gtk_widget_get_mapped(w) || !gtk_window_get_modal(GTK_WINDOW(w)))
                continue;
            if (GTK_IS_MESSAGE_DIALOG(w)) {
                gchar* text = nullptr;
                g_object_get(w, "text", &text, nullptr);
                op->messages.emplace_back(text ? text : "");
                g_free(text);
                gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_OK);
                break;
            }
            std::vector<GtkWidget*> found;
            entries(w, found);
            if (found.empty() || op->answers.empty())
                continue;
            const std::vector<std::string> texts = op->answers.front();
            op->answers.pop_front();
            auto combo_at = std::find_if(found.begin(), found.end(), [](GtkWidget* f) { return GTK_IS_COMBO_BOX(f); });
            if (combo_at != found.end()) {
                GtkComboBox* combo = GTK_COMBO_BOX(*combo_at);
                for (int i = 0; gtk_combo_box_set_active(combo, i), gtk_combo_box_get_active(combo) == i; ++i) {
                    gchar* name = gtk_combo_box_get_active_text(combo);
                    const bool hit = name && texts[0] == name;
                    g_free(name);
                    if (hit)
                        break;
                }
                gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_OK);
                break;
            }
            for (size_t i = 0; i < found.size() && i < texts.size(); ++i)
                gtk_entry_set_text(GTK_ENTRY(found[i]), texts[i].c_str());
            gtk_dialog_response(GTK_DIALOG(w), GTK_RESPONSE_ACCEPT);
            break;
        }
        g_list_free(tops);
        return G_SOURCE_CONTINUE;
    }
    guint id_;
};

Rows rows(GtkWidget* view)
{
    Rows out;
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(view));
    const int columns = gtk_tree_model_get_n_columns(model);
    GtkTreeIter it;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &it); ok; ok = gtk_tree_model_iter_next(model, &it)) {
        out.emplace_back();
        for (int c = 0; c < columns; ++c) {
            gchar* text = nullptr;
            gtk_tree_model_get(model, &it, c, &text, -1);
            out.back().emplace_back(text ? text : "");
            g_free(text);
        }
    }
    return out;
}

void select_row(GtkWidget* view, int row)
{
    GtkTreePath* path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(view)), path);
    gtk_tree_path_free(path);
}

// Types the text into the cell of the view's column at that position, as
// the cell's editor hands it over when the operator presses Enter.
void edit_cell(GtkWidget* view, int column, int row, const char* text)
{
    GtkTreeViewColumn* col = gtk_tree_view_get_column(GTK_TREE_VIEW(view), column);
    GList* cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(col));
    const std::string path = std::to_string(row);
    g_signal_emit_by_name(cells->data, "edited", path.c_str(), text);
    g_list_free(cells);
}

std::string text_of(xmlNodePtr node, const char* child)
{
    return ConfigParser::theConfig()->get_value<std::string>(node, child, std::string("<none>"));
}

std::string attribute(xmlNodePtr node, const char* name)
{
    return ConfigParser::theConfig()->get_attribute<std::string>(node, name, std::string("<none>"));
}

// The reload's files in the temporary folder that mention the text.
std::string files_left_with(const std::string& text)
{
    std::string found;
    for (const auto& entry : std::filesystem::directory_iterator(g_get_tmp_dir()))
        if (entry.path().filename().string().rfind("tellum-", 0) == 0)
            for (const char* file : {"___tellum___.xml", "previous.xml"}) {
                const std::string path = (entry.path() / file).string();
                if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS) && testutil::read_file(path).find(text) != std::string::npos)
                    found += path + " ";
            }
    return found;
}

class PluginSettingsTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        if (IsSkipped())
            return;
        dir = testutil::make_temp_dir("plugins");
        file = dir + "/brisko.xml";
        testutil::write_file(
            file, "<?xml version=\"1.0\"?>\n"
                  "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
                  " xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
                  "<paths><libpaths><path>" PLUGIN_TEST_DIR "</path></libpaths></paths>\n"
                  "<plugins>\n"
                  "<plugin name=\"gadgets\" module=\"gadget\" lang=\"c++\"><lib>libsection_plugin.so</lib>"
                  "<hook>create_gadgets</hook></plugin>\n"
                  "<plugin name=\"spare\" module=\"spare\" lang=\"c++\"><lib>libsection_plugin.so</lib>"
                  "<hook>create_gadgets</hook></plugin>\n"
                  "<interrupt><lib>libsection_plugin.so</lib><enable>irq_enable</enable><stop>irq_stop</stop>"
                  "</interrupt>\n"
                  "<data_logger><lib>libsection_plugin.so</lib><hook>make_logger</hook></data_logger>\n"
                  "</plugins>\n"
                  "<modules><gadget name=\"7\" address=\"0x10\"/></modules>\n"
                  "</Sorbek>\n");
        ConfigParser* config = ConfigParser::theConfig();
        config->reset();
        ASSERT_EQ(1, config->parse(file.c_str()));
        testutil::set_up_acquisition();
        DAQcontroller::instance()->set_main_window(&view);

        GBytes* bytes = g_resources_lookup_data("/org/korvane/Tellum/glade/brisko.glade",
                                                G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
        ASSERT_NE(nullptr, bytes);
        gsize size = 0;
        const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
        dialog = new PluginSettings(&view);
        ASSERT_EQ(0, dialog->init(data, int(size), "plugin_dialog"));
        g_bytes_unref(bytes);
        view.calls.clear();
    }
    void TearDown() override
    {
        delete dialog;
        DAQcontroller::instance()->set_main_window(nullptr);
        ConfigParser::theConfig()->set_do_validate(false);
        ConfigParser::theConfig()->reset();
        GuiTest::TearDown();
    }
    GtkWidget* widget(const char* id) { return dialog->get_widget(id); }

    std::string dir, file;
    StandIn view;
    PluginSettings* dialog = nullptr;
};

} // namespace

TEST_F(PluginSettingsTest, EveryPageWrittenBackAndTheConfigurationReadAgain)
{
    EXPECT_EQ((Rows{{"gadgets", "gadget", "c++", "create_gadgets", "libsection_plugin.so"},
                    {"spare", "spare", "c++", "create_gadgets", "libsection_plugin.so"}}),
              rows(widget("treePlugins")));
    EXPECT_EQ((Rows{{"gadget", "7", "0x10"}}), rows(widget("treeModules")));
    EXPECT_EQ("irq_stop", dialog->get_text("entryIntStop"));
    EXPECT_EQ("", dialog->get_text("entryIntStart"));
    EXPECT_EQ("make_logger", dialog->get_text("entryDhook"));
    EXPECT_TRUE(dialog->btn_active("toggleDataLogger"));
    EXPECT_EQ(1u, rows(widget("treeDrivers")).size());

    Operator op;
    // A plug-in deleted and added again under its name, with a new element.
    select_row(widget("treePlugins"), 1);
    dialog->click_button("btnDelete");
    op.answer({"spare", "gizmo"});
    dialog->click_button("btnAdd");
    op.answer({"bad", "9 lives"});
    dialog->click_button("btnAdd");
    // The language of a plug-in already stored changes in the list only.
    edit_cell(widget("treePlugins"), 4, 0, "fortran");
    // Emptied entries keep what is stored.
    dialog->set_text("entryDhook", "");
    dialog->set_text("entryIntStop", "");
    op.answer({"Data", "make_rm", "libsection_plugin.so"});
    dialog->click_button("btnAddRM");
    // The hook chooser lists the interrupt library, found on the search
    // path.
    op.answer({"irq_stop"});
    dialog->click_button("btnDisable");
    op.answer({"bogus", "h", "l"});
    dialog->click_button("btnAddRM");
    op.answer({"gadget", "9", "0x20"});
    dialog->click_button("btnAddModule");
    op.answer({"widget", "3", "0x1"});
    dialog->click_button("btnAddModule");
    op.answer({"no element", "4", "0x2"});
    dialog->click_button("btnAddModule");

    EXPECT_TRUE(op.answers.empty());
    EXPECT_EQ((std::vector<std::string>{
                  "\"9 lives\" cannot name an element",
                  "A RunManager type must be any of:\n   data\n   int_trg\n   pulse\n   pedestal\n   scan\n",
                  "\"no element\" cannot name an element"}),
              op.messages);
    EXPECT_EQ((Rows{{"gadgets", "gadget", "fortran", "create_gadgets", "libsection_plugin.so"},
                    {"spare", "gizmo", "c++", "", ""}}),
              rows(widget("treePlugins")));
    EXPECT_EQ((Rows{{"data", "make_rm", "libsection_plugin.so"}}), rows(widget("treeRunManager")));
    EXPECT_EQ("irq_stop", dialog->get_text("entryIntDisable"));

    dialog->click_button("btnPluginOK");
    EXPECT_EQ("", files_left_with("gizmo"));

    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr spare = config->find_plugin("spare");
    ASSERT_NE(nullptr, spare);
    EXPECT_EQ("gizmo", attribute(spare, "module"));
    EXPECT_EQ("c++", attribute(spare, "lang"));
    EXPECT_EQ("c++", attribute(config->find_plugin("gadgets"), "lang"));
    std::vector<xmlNodePtr> found;
    ASSERT_EQ(1, config->get_node("//plugins/data_logger", found));
    EXPECT_EQ("make_logger", text_of(found[0], "hook"));
    ASSERT_EQ(1, config->get_node("//plugins/interrupt", found));
    EXPECT_EQ("irq_stop", text_of(found[0], "stop"));
    EXPECT_EQ("irq_enable", text_of(found[0], "enable"));
    EXPECT_EQ("irq_stop", text_of(found[0], "disable"));
    ASSERT_EQ(1, config->get_node("//plugins/run_managers/data", found));
    EXPECT_EQ("make_rm", text_of(found[0], "hook"));
    EXPECT_EQ("libsection_plugin.so", text_of(found[0], "lib"));
    xmlNodePtr gadget = config->find_module("gadget", "9");
    ASSERT_NE(nullptr, gadget);
    EXPECT_EQ("8", text_of(gadget, "channels"));
    EXPECT_EQ("0x20", attribute(gadget, "address"));
    xmlNodePtr widget_module = config->find_module("widget", "3");
    ASSERT_NE(nullptr, widget_module);
    EXPECT_EQ(nullptr, widget_module->children);
    EXPECT_EQ("0x1", attribute(widget_module, "address"));

    // The acquisition is set up anew from the saved file, and the window
    // gets its panels back, its refresh stopped throughout.
    EXPECT_NE(nullptr, DAQcontroller::instance()->get_run_manager());
    EXPECT_NE(nullptr, GenModule::find_module(Ostrel::DAQid("9")));
    ASSERT_GE(view.calls.size(), 4u);
    EXPECT_EQ("clear", view.calls.front());
    EXPECT_EQ("stop_timer", view.calls[1]);
    EXPECT_EQ((std::vector<std::string>{"modules 7 9", "set_up", "start_timer"}),
              std::vector<std::string>(view.calls.end() - 3, view.calls.end()));
    EXPECT_EQ(1, std::count(view.calls.begin(), view.calls.end(), "start_timer"));
    EXPECT_TRUE(op.messages.size() == 3u) << op.messages.back();
}

TEST_F(PluginSettingsTest, ANewConfigurationThatDoesNotReadLeavesThePreviousRunning)
{
    // Read back with validation, a plug-in in a language the schema refuses
    // does not read.
    ConfigParser::theConfig()->set_do_validate(true);
    ASSERT_TRUE(GenModule::find_module(Ostrel::DAQid("7")));
    Operator op;
    op.answer({"snake", "serpent"});
    dialog->click_button("btnAdd");
    edit_cell(widget("treePlugins"), 4, 2, "python");

    const std::string out = testutil::capture_stdout([&] { dialog->click_button("btnPluginOK"); });
    EXPECT_NE(std::string::npos, out.find("Could not load new configuration")) << out;

    ConfigParser* config = ConfigParser::theConfig();
    EXPECT_EQ(nullptr, config->find_plugin("snake"));
    EXPECT_NE(nullptr, config->find_plugin("gadgets"));
    EXPECT_NE(nullptr, DAQcontroller::instance()->get_run_manager());
    EXPECT_NE(nullptr, GenModule::find_module(Ostrel::DAQid("7")));
    EXPECT_EQ((std::vector<std::string>{"modules 7", "set_up", "start_timer"}),
              std::vector<std::string>(view.calls.end() - 3, view.calls.end()));

    // The operator is told, and the file that did not read is kept in a
    // folder of the user's alone.
    ASSERT_EQ(1u, op.messages.size());
    const std::string said = op.messages[0];
    const std::string head = "The new configuration could not be read:\nthe previous one runs again.\n"
                             "The new one is kept in\n";
    ASSERT_EQ(0u, said.find(head)) << said;
    const std::string kept = said.substr(head.size());
    EXPECT_EQ("___tellum___.xml", kept.substr(kept.rfind('/') + 1));
    EXPECT_NE(std::string::npos, testutil::read_file(kept).find("python"));
    const std::string folder = kept.substr(0, kept.rfind('/'));
    struct stat st;
    ASSERT_EQ(0, ::stat(folder.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    g_unlink(kept.c_str());
    EXPECT_EQ(0, g_rmdir(folder.c_str())) << "the folder holds more than the kept file";
}
