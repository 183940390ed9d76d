// The window base: windows built from the compiled-in descriptions and from
// files, handlers and custom widgets by name, watched entries driven by
// real keys, buttons set from other threads, and the text conversions.
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "GlibLog.h"
#include "GuiTest.h"
#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "gui/GladeApp.h"

namespace {

int program_made = 0;

// The test descriptions, as compiled into this program.
std::string description()
{
    GBytes* bytes = g_resources_lookup_data("/org/korvane/TellumTest/windows.glade", G_RESOURCE_LOOKUP_FLAGS_NONE,
                                            nullptr);
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    std::string text(data, size);
    g_bytes_unref(bytes);
    return text;
}

class TestWindow : public GladeApp {
public:
    int build(const char* root)
    {
        const std::string text = description();
        return init(text.data(), static_cast<int>(text.size()), root);
    }
    const std::string& buffer() const { return xml_buffer; }

    std::vector<std::string> texts;   // process_text, by entry
    int ok = 0, toggled = 0, dials = 0, shadowed = 0;
    std::string dial_args;

private:
    static TestWindow* self(gpointer data) { return static_cast<TestWindow*>(static_cast<GladeApp*>(data)); }
    void auto_connect() override
    {
        connect["on_OK"] = G_CALLBACK(&TestWindow::on_OK);
        connect["on_toggled"] = G_CALLBACK(&TestWindow::on_toggled);
    }
    void set_handlers() override
    {
        handlers["make_dial"] = &TestWindow::make_dial;
        // Shadows the program's own function while this window is built.
        handlers["brisko_test_program_widget"] = &TestWindow::shadow;
    }
    void process_text(const char* name, GtkWidget*) override { texts.emplace_back(name); }
    static void on_OK(GtkWidget*, gpointer data)
    {
        self(data)->ok++;
        self(data)->flush_entries();
    }
    static void on_toggled(GtkWidget*, gpointer data) { self(data)->toggled++; }
    static GtkWidget* make_dial(GladeApp* w, const char* name, const char* s1, const char* s2, int i1, int i2)
    {
        auto* me = static_cast<TestWindow*>(w);
        me->dials++;
        me->dial_args = std::string(name) + "|" + s1 + "|" + s2 + "|" + std::to_string(i1) + "|" + std::to_string(i2);
        return gtk_label_new(s1);
    }
    static GtkWidget* shadow(GladeApp* w, const char*, const char*, const char*, int, int)
    {
        static_cast<TestWindow*>(w)->shadowed++;
        return gtk_label_new("shadow");
    }
};

} // namespace

// Found by the window base's fallback among the program's symbols.
extern "C" GtkWidget* brisko_test_program_widget(gchar*, gchar* string1, gchar*, gint, gint)
{
    program_made++;
    return gtk_label_new(string1);
}

class GladeAppTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        if (!IsSkipped())
            ConfigParser::theConfig()->reset();
    }
};

TEST(GladeAppConversions, IntegersAndNumbers)
{
    EXPECT_EQ(12, GladeApp::get_int("12", -1));
    EXPECT_EQ(12, GladeApp::get_int("12 ", -1));
    EXPECT_EQ(-7, GladeApp::get_int("-7", 0));
    for (const char* bad : {"12a", "", "abc", "99999999999", "2147483648", "-2147483649"})
        EXPECT_EQ(-1, GladeApp::get_int(bad, -1)) << bad;
    EXPECT_EQ(-1, GladeApp::get_int(nullptr, -1));
    EXPECT_EQ(INT_MAX, GladeApp::get_int("2147483647", -1));

    setlocale(LC_NUMERIC, "de_DE.UTF-8");   // where the system has it: a comma locale
    EXPECT_DOUBLE_EQ(1.5, GladeApp::get_double("1.5", -1));
    setlocale(LC_NUMERIC, "C");
    for (const char* bad : {"1.5x", "", "1.5 ", "x"})
        EXPECT_DOUBLE_EQ(-1, GladeApp::get_double(bad, -1)) << bad;
    EXPECT_EQ("Channel 5000000000", GladeApp::int2str(5000000000L, "Channel %ld"));
}

TEST_F(GladeAppTest, BuildsFromTheBundleWithAMissingHandlerAndMissingCreator)
{
    TestWindow w;
    const std::string out = testutil::capture_stdout([&] { EXPECT_EQ(0, w.build("EntryWindow")); });
    EXPECT_NE(std::string::npos, out.find("on_nowhere for clicked of btnOther\n")) << out;
    EXPECT_EQ(nullptr, w.get_file_name());
    EXPECT_TRUE(GTK_IS_WINDOW(w.get_main_window()));
    EXPECT_EQ(nullptr, w.get_widget("nothing"));
    // The rest of the window works.
    w.click_button("btnOK");
    EXPECT_EQ(1, w.ok);
    w.int2entry("txtOther", 12, "%03d");
    EXPECT_EQ("012", w.get_text("txtOther"));

    TestWindow c;
    const std::string made = testutil::capture_stdout([&] { EXPECT_EQ(0, w.init_application(&c, "CustomWindow")); });
    EXPECT_NE(std::string::npos, made.find("Handler missing: no_such_creator\n")) << made;
    GtkWidget* stand_in = c.get_widget("nobody");
    ASSERT_TRUE(GTK_IS_LABEL(stand_in));
    EXPECT_STREQ("nobody", gtk_label_get_text(GTK_LABEL(stand_in)));
    EXPECT_EQ(1, c.dials);
    EXPECT_EQ("dial|speed|km/h|7|-3", c.dial_args);
    // Built from the same bytes.
    EXPECT_EQ(nullptr, c.get_file_name());
    EXPECT_EQ(w.buffer(), c.buffer());
}

TEST_F(GladeAppTest, BuildsFromAFileOnTheSearchPath)
{
    TestWindow w;
    const std::string out = testutil::capture_stdout([&] { EXPECT_EQ(-1, w.init("windows.glade", "EntryWindow")); });
    EXPECT_EQ("\n####\n#### Cannot find glade file windows.glade\n####\n\n", out);

    GladeApp::add_path(BRISKO_SOURCE_DIR "/tests/gui");
    testutil::capture_stdout([&] { ASSERT_EQ(0, w.init("windows.glade", "EntryWindow")); });
    ASSERT_NE(nullptr, w.get_file_name());
    EXPECT_EQ(std::string(BRISKO_SOURCE_DIR "/tests/gui/windows.glade"), w.get_file_name());
    TestWindow c;
    testutil::capture_stdout([&] { EXPECT_EQ(0, w.init_application(&c, "CustomWindow")); });
    EXPECT_STREQ(w.get_file_name(), c.get_file_name());
    EXPECT_TRUE(c.buffer().empty());
    EXPECT_EQ(1, c.dials);
}

TEST_F(GladeAppTest, AFailedBuildLeavesTheDefaultCreatorInForce)
{
    TestWindow failed;
    {
        // The toolkit's own word on a root the description lacks.
        GlibLog glade("libglade");
        EXPECT_EQ(-1, failed.build("NoSuchWindow"));
        EXPECT_EQ(1, glade.count("assertion 'wid != NULL' failed"));
    }
    EXPECT_EQ(-1, failed.init(nullptr, 0, "EntryWindow"));
    failed.shadowed = failed.dials = 0;

    // A build outside any window: the program's creator, not the window's.
    const std::string text = description();
    program_made = 0;
    GladeXML* plain = glade_xml_new_from_buffer(text.data(), int(text.size()), "ProgramWindow", nullptr);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(1, program_made);
    EXPECT_EQ(0, failed.shadowed);
    GtkWidget* top = glade_xml_get_widget(plain, "ProgramWindow");
    gtk_widget_destroy(top);
    g_object_unref(plain);

    // The next window's creators are its own.
    TestWindow next;
    testutil::capture_stdout([&] { EXPECT_EQ(0, next.build("CustomWindow")); });
    EXPECT_EQ(1, next.dials);
    EXPECT_EQ(0, failed.dials);
    EXPECT_EQ(0, next.build("ProgramWindow"));
    EXPECT_EQ(1, next.shadowed);
    EXPECT_EQ(1, program_made);
}

TEST_F(GladeAppTest, ActivateButtonSetsTheStateWithoutCallingTheWindowBack)
{
    TestWindow w;
    testutil::capture_stdout([&] { ASSERT_EQ(0, w.build("EntryWindow")); });
    w.activate_button("btnToggle", true);
    EXPECT_TRUE(w.btn_active("btnToggle"));
    EXPECT_EQ(0, w.toggled);

    // From another thread: later, in the main loop.
    std::thread([&] { w.activate_button("btnToggle", false); }).join();
    EXPECT_TRUE(w.btn_active("btnToggle"));
    guitest::pump();
    EXPECT_FALSE(w.btn_active("btnToggle"));
    EXPECT_EQ(0, w.toggled);

    // A click is the operator's: the window hears of it.
    w.click_button("btnToggle");
    EXPECT_TRUE(w.btn_active("btnToggle"));
    EXPECT_EQ(1, w.toggled);

    // A window gone before its record runs.
    auto* gone = new TestWindow;
    testutil::capture_stdout([&] { ASSERT_EQ(0, gone->build("EntryWindow")); });
    std::thread([&] { gone->activate_button("btnToggle", true); }).join();
    delete gone;
    guitest::pump();

    GlibLog log;
    w.activate_button("lblInfo", true);
    EXPECT_EQ(1, log.count("GTK_IS_TOGGLE_BUTTON(w)"));
    w.click_button("lblInfo");
    EXPECT_EQ(1, log.count("GTK_IS_BUTTON(w)"));
    w.activate_button("noSuchButton", true);
    w.click_button("noSuchButton");
    EXPECT_EQ(2u, log.messages.size());
    EXPECT_EQ("info", w.get_text("lblInfo"));
}

TEST_F(GladeAppTest, AnEditedEntryIsReportedOnceWhenLeftOrConfirmed)
{
    TestWindow w;
    testutil::capture_stdout([&] { ASSERT_EQ(0, w.build("EntryWindow")); });
    GtkWidget* entry = w.get_widget("txtValue");
    guitest::show_and_wait(w.get_main_window());
    ASSERT_TRUE(guitest::click(entry));
    ASSERT_TRUE(guitest::focus(entry));
    ASSERT_TRUE(guitest::pump_until([&] { return gtk_widget_has_focus(entry); }, 5));

    // 10 becomes 12, and the operator leaves.
    ASSERT_TRUE(guitest::key(entry, "End"));
    ASSERT_TRUE(guitest::key(entry, "BackSpace"));
    ASSERT_TRUE(guitest::type_text(entry, "2"));
    EXPECT_EQ("12", w.get_text("txtValue"));
    EXPECT_TRUE(w.texts.empty());
    ASSERT_TRUE(guitest::key(entry, "Tab"));
    ASSERT_TRUE(guitest::pump_until([&] { return !w.texts.empty(); }, 5));
    EXPECT_EQ(std::vector<std::string>{"txtValue"}, w.texts);

    // In and out again without a change: nothing.
    ASSERT_TRUE(guitest::key(entry, "shift+Tab"));
    ASSERT_TRUE(guitest::pump_until([&] { return gtk_widget_has_focus(entry); }, 5));
    ASSERT_TRUE(guitest::key(entry, "Tab"));
    guitest::pump_for(100);
    EXPECT_EQ(1u, w.texts.size());

    // Changed and confirmed with Enter (the OK button's handler): reported
    // while the focus stays in the entry, and not again when it leaves.
    ASSERT_TRUE(guitest::key(entry, "shift+Tab"));
    ASSERT_TRUE(guitest::pump_until([&] { return gtk_widget_has_focus(entry); }, 5));
    ASSERT_TRUE(guitest::key(entry, "End"));
    ASSERT_TRUE(guitest::type_text(entry, "5"));
    ASSERT_TRUE(guitest::key(entry, "Return"));
    ASSERT_TRUE(guitest::pump_until([&] { return w.ok == 1; }, 5));
    EXPECT_TRUE(gtk_widget_has_focus(entry));
    EXPECT_EQ(2u, w.texts.size());
    EXPECT_EQ(125, w.entry2int("txtValue", -1));
    ASSERT_TRUE(guitest::key(entry, "Tab"));
    guitest::pump_for(100);
    EXPECT_EQ(2u, w.texts.size());
}
