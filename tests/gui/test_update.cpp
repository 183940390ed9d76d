// The update check against an HTTP server of the test's own on 127.0.0.1:
// the versions list's cases, downloads that are whole or leave nothing,
// never replace a file, go only into the download folder and can be
// cancelled, and the window that says "Download finished." only then, says
// why a check or a download failed, and leaves no thread behind when closed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "GuiTest.h"
#include "Modal.h"
#include "TimerGaps.h"
#include "common/LoopbackBoards.h"
#include "common/TestUtil.h"
#include "gui/updatecheck/AppUpdateCheck.h"
#include "gui/updatecheck/TellumCheckForUpdate.h"

namespace {

// The server, with a bounded life of its own, serving `root`: it ends
// when the test closes its standard input.
struct UpdateServer {
    explicit UpdateServer(const std::string& root)
    {
        const gchar* argv[] = {"/usr/bin/python3", UPDATE_SERVER, root.c_str(), "120", nullptr};
        EXPECT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), nullptr, GSpawnFlags(0), nullptr,
                                             nullptr, nullptr, &in, &out, nullptr, nullptr));
        // Its pipes stay open while it runs: it may write the newline of
        // the port's line on its own.
        std::string line;
        pollfd p{out, POLLIN, 0};
        char c = 0;
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 && ::read(out, &c, 1) == 1)
            line += c;
        port = std::atoi(line.c_str());
        EXPECT_GT(port, 0) << "the server did not start";
    }
    ~UpdateServer()
    {
        ::close(in);
        ::close(out);
    }
    int out = -1;
    int in = -1;
    int port = 0;
};

std::string random_bytes(size_t n)
{
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

// The user's download folder, as GLib reads it from the test's own HOME;
// none for an empty name.
void name_download_folder(const std::string& folder)
{
    const std::string file = std::string(g_get_user_config_dir()) + "/user-dirs.dirs";
    if (folder.empty())
        g_unlink(file.c_str());
    else
        testutil::write_file(file, "XDG_DOWNLOAD_DIR=\"" + folder + "\"\n");
    g_reload_user_special_dirs_cache();
}

std::string downloads()
{
    return std::string(g_get_home_dir()) + "/Downloads";
}

// A download area with its versions list; downloads go into ~/Downloads,
// made by the first one.
struct Area {
    Area() : root(testutil::make_temp_dir("server")), area(root + "/downloads/software"), server(root)
    {
        for (const char* sub : {"/pkg", "/slow"})
            g_mkdir_with_parents((area + sub).c_str(), 0700);
        AppUpdateCheck::server_uri = "http://127.0.0.1:" + std::to_string(server.port) + "/downloads/software";
        name_download_folder(downloads());
    }
    void versions(const std::string& text) { testutil::write_file(area + "/versions.txt", text); }
    void file(const std::string& name, const std::string& bytes) { testutil::write_file(area + "/" + name, bytes); }

    std::string root, area;
    UpdateServer server;
};

// The names in the folder (the download folder by default) that contain
// the text.
std::vector<std::string> home_files(const std::string& text, const std::string& folder = downloads())
{
    std::vector<std::string> out;
    std::error_code none;
    for (const auto& entry : std::filesystem::directory_iterator(folder, none))
        if (entry.path().filename().string().find(text) != std::string::npos)
            out.push_back(entry.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

bool thread_named(const std::string& name)
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
        if (testutil::read_file((task.path() / "comm").string()) == name + "\n")
            return true;
    return false;
}

struct CountingSink : AppDownloadProgress {
    void set_progress(double fraction) override { last = fraction; }
    std::atomic<double> last{0};
};

void collect(GtkWidget* w, GType type, std::vector<GtkWidget*>& out)
{
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, type))
        out.push_back(w);
    GList* children = GTK_IS_CONTAINER(w) ? gtk_container_get_children(GTK_CONTAINER(w)) : nullptr;
    for (GList* l = children; l; l = l->next)
        collect(GTK_WIDGET(l->data), type, out);
    g_list_free(children);
}

GtkWidget* update_window()
{
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next)
        if (GTK_IS_DIALOG(l->data) && gtk_widget_get_mapped(GTK_WIDGET(l->data)) &&
            std::string("KorvaneTellum") == gtk_window_get_title(GTK_WINDOW(l->data)))
            found = GTK_WIDGET(l->data);
    g_list_free(tops);
    return found;
}

GtkWidget* button_labelled(GtkWidget* window, const std::string& label)
{
    std::vector<GtkWidget*> buttons;
    collect(window, GTK_TYPE_BUTTON, buttons);
    for (GtkWidget* b : buttons)
        if (gtk_button_get_label(GTK_BUTTON(b)) && label == gtk_button_get_label(GTK_BUTTON(b)))
            return b;
    return nullptr;
}

// The texts of the window's visible labels, one after another.
std::string shown_text(GtkWidget* window)
{
    std::vector<GtkWidget*> labels;
    collect(window, GTK_TYPE_LABEL, labels);
    std::string out;
    for (GtkWidget* l : labels)
        if (gtk_widget_get_visible(l) && gtk_widget_get_visible(gtk_widget_get_parent(l)) &&
            !gtk_widget_get_ancestor(l, GTK_TYPE_BUTTON))
            out += gtk_label_get_text(GTK_LABEL(l));
    return out;
}

} // namespace

TEST(UpdateCheck, VersionsListCases)
{
    Area a;
    const auto check = [&](const std::string& list) {
        a.versions(list);
        AppUpdateCheck checker;
        return checker.check_for_update();
    };
    AppUpdateCheck checker;
    a.versions("KorvaneTellum 1.1.6.2 macos dir/other\nKorvaneTellum 1.1.6.2 linux dir/file\n");
    EXPECT_EQ(1, checker.check_for_update());
    EXPECT_EQ("file", checker.get_filename());
    EXPECT_EQ("", checker.failure());
    const std::pair<const char*, int> lists[] = {
        {"KorvaneTellum 1.1.6.1 linux dir/file\n", 0}, {"KorvaneTellum 2.0.0.0 linux f\n", 1},
        {"KorvaneTellum 1.2.0.0 linux f\n", 1},        {"KorvaneTellum 1.1.5.9 linux f\n", 0},
        {"KorvaneTellum 0.9.9.9 linux f\n", 0},
        // Only the first Linux line counts.
        {"KorvaneTellum 1.0.0.0 linux old\nKorvaneTellum 9.0.0.0 linux new\n", 0}};
    for (const auto& l : lists)
        EXPECT_EQ(l.second, check(l.first)) << l.first;
    // The last line ends the list with or without a newline.
    EXPECT_EQ(0, check("KorvaneTellum 9.9.9.9 windows f.exe"));
    EXPECT_EQ("", testutil::capture_stdout([&] { EXPECT_EQ(0, check("KorvaneTellum 9.9.9.9 windows f.exe\n")); }));
    EXPECT_EQ("Problems reading line\n", testutil::capture_stdout([&] { EXPECT_EQ(0, check("KorvaneTellum 9.x linux f\n")); }));
    // Without the name the file found before stays.
    a.versions("SomethingElse 9.9.9.9 linux other\n");
    EXPECT_EQ(0, checker.check_for_update());
    EXPECT_EQ("file", checker.get_filename());
    // A list over 1 MiB is not taken, nor a 404, nor anything but http(s);
    // each says why, and a line that does not read too.
    const auto failure = [&](const std::string& list) {
        a.versions(list);
        AppUpdateCheck c;
        EXPECT_EQ(0, c.check_for_update());
        return c.failure();
    };
    EXPECT_NE(std::string::npos, failure("KorvaneTellum 9.9.9.9 linux f\n" + std::string(1100000, '#') + "\n")
                                     .find("could not be read: it is larger than 1 MiB"));
    EXPECT_NE(std::string::npos, failure("KorvaneTellum 9.x linux f\n").find("could not be read: its line"));
    EXPECT_EQ("", failure(""));
    g_unlink((a.area + "/versions.txt").c_str());
    AppUpdateCheck missing;
    EXPECT_EQ(0, missing.check_for_update());
    EXPECT_NE(std::string::npos, missing.failure().find("could not be fetched")) << missing.failure();
    EXPECT_NE(std::string::npos, missing.failure().find("404")) << missing.failure();
    a.versions("KorvaneTellum 9.9.9.9 linux f\n");
    AppUpdateCheck::server_uri = "file://" + a.area;
    EXPECT_EQ(0, AppUpdateCheck().check_for_update());
    // Nothing to download before a check found a file.
    EXPECT_EQ(0, AppUpdateCheck().download_update());
}

TEST(UpdateCheck, DownloadsWholeNeverReplacesAndLeavesNothingOnFailure)
{
    Area a;
    const std::string bytes = random_bytes(300000);
    a.file("pkg/brisko-9.tar.gz", bytes);
    a.versions("KorvaneTellum 9.0.0.0 linux pkg/brisko-9.tar.gz\n");
    const std::string home = downloads();
    g_mkdir_with_parents(home.c_str(), 0700);
    testutil::write_file(home + "/brisko-9.tar.gz", "mine");

    CountingSink sink;
    AppUpdateCheck checker(&sink);
    ASSERT_EQ(1, checker.check_for_update());
    ASSERT_EQ(0, checker.download_update());
    EXPECT_EQ(home + "/brisko-9.tar-1.gz", checker.get_file_path());
    EXPECT_TRUE(testutil::read_file(checker.get_file_path()) == bytes);
    EXPECT_EQ("mine", testutil::read_file(home + "/brisko-9.tar.gz"));
    EXPECT_EQ(1.0, sink.last.load());
    EXPECT_EQ("brisko-9.tar.gz", sink.file_name);

    // A 404 is a failure, and no file is left.
    a.versions("KorvaneTellum 9.0.0.0 linux pkg/gone.bin\n");
    ASSERT_EQ(1, checker.check_for_update());
    EXPECT_EQ(-1, checker.download_update());
    EXPECT_TRUE(home_files("gone").empty());

    // Cancelled under way: the thread says so and leaves no file.
    a.file("slow/slow.bin", random_bytes(3000000));
    a.versions("KorvaneTellum 9.0.0.0 linux slow/slow.bin\n");
    ASSERT_EQ(1, checker.check_for_update());
    sink.last = 0;
    checker.download_update_async();
    ASSERT_TRUE(testutil::wait_until([&] { return sink.last.load() > 0; }, 20));
    EXPECT_TRUE(thread_named("download_async"));
    int rc = 0;
    const std::string out = testutil::capture_stdout([&] {
        checker.cancel_download();
        rc = checker.join();
    });
    EXPECT_EQ(-1, rc);
    EXPECT_NE(std::string::npos, out.find("have to stop download\n")) << out;
    EXPECT_TRUE(checker.finished());
    EXPECT_EQ(std::vector<std::string>{}, home_files("slow.bin"));
    EXPECT_EQ((std::vector<std::string>{"brisko-9.tar-1.gz", "brisko-9.tar.gz"}), home_files("brisko-9"));
}

TEST_F(GuiTest, UpdateWindowSaysFinishedOnlyThenAndLeavesNoThreadWhenClosed)
{
    Area a;
    const std::string bytes = random_bytes(400000);
    a.file("slow/slow-pkg.bin", bytes);
    a.file("slow/slow-big.bin", random_bytes(4000000));
    GtkWidget* window = nullptr;
    GtkProgressBar* bar = nullptr;
    // Checks off the GTK main thread, shows the window, downloads on OK.
    const auto start = [&](const std::string& file) {
        a.versions("KorvaneTellum 1.1.6.2 linux slow/" + file + "\n");
        TellumCheckForUpdate::run(false);
        ASSERT_TRUE(guitest::pump_until([&] { return (window = update_window()) != nullptr; }, 20));
        guitest::show_and_wait(window);
        EXPECT_NE(std::string::npos, shown_text(window).find(file + "\nis ready for download.")) << shown_text(window);
        ASSERT_TRUE(guitest::click(button_labelled(window, "gtk-ok")));
        std::vector<GtkWidget*> bars;
        collect(window, GTK_TYPE_PROGRESS_BAR, bars);
        ASSERT_EQ(1u, bars.size());
        bar = GTK_PROGRESS_BAR(bars[0]);
        ASSERT_TRUE(guitest::pump_until([&] { return gtk_progress_bar_get_fraction(bar) > 0; }, 20));
        EXPECT_TRUE(thread_named("download_async"));
        EXPECT_EQ(std::string::npos, shown_text(window).find("Download finished.")) << shown_text(window);
    };

    start("slow-pkg.bin");
    const std::string path = downloads() + "/slow-pkg.bin";
    ASSERT_TRUE(guitest::pump_until([&] { return shown_text(window).find("Download finished.") != std::string::npos; }, 30));
    EXPECT_NE(std::string::npos, shown_text(window).find("Download finished.\n" + path + "\nis ready.\n"));
    EXPECT_TRUE(testutil::read_file(path) == bytes);
    // The window takes its new size for the end text first.
    guitest::pump_for(300);
    ASSERT_TRUE(guitest::click(button_labelled(window, "gtk-quit")));
    EXPECT_TRUE(guitest::pump_until([] { return TellumCheckForUpdate::count() == 0; }, 10));
    EXPECT_EQ(nullptr, update_window());

    // Closed by the window manager during a download: the transfer stops,
    // its thread ends and no file is left.
    start("slow-big.bin");
    const std::string out = testutil::capture_stdout([&] {
        guitest::wm_delete(window);
        EXPECT_TRUE(guitest::pump_until([] { return TellumCheckForUpdate::count() == 0; }, 10));
    });
    EXPECT_NE(std::string::npos, out.find("have to stop download")) << out;
    EXPECT_FALSE(thread_named("download_async"));
    EXPECT_TRUE(home_files("slow-big").empty());
}

TEST(UpdateCheck, DownloadsOnlyPlainNamesIntoTheDownloadFolder)
{
    Area a;
    const std::string home = g_get_home_dir();
    testutil::write_file(home + "/.profile", "mine");
    for (const char* name : {"pkg/f.bin", "pkg/.profile", ".profile", "pkg/x/../.bashrc", "..", "pkg/a\x01"})
        a.file(name, "from the server");
    AppUpdateCheck checker;
    const auto download = [&](const std::string& file) {
        a.versions("KorvaneTellum 9.0.0.0 linux " + file + "\n");
        EXPECT_EQ(1, checker.check_for_update());
        return checker.download_update();
    };

    // No download folder named: nothing goes anywhere else.
    name_download_folder("");
    EXPECT_EQ(-1, download("pkg/f.bin"));
    EXPECT_NE(std::string::npos, checker.failure().find("no download folder")) << checker.failure();
    EXPECT_TRUE(home_files("f.bin", home).empty());

    // One named that is missing is made.
    const std::string folder = home + "/Dl/new";
    name_download_folder(folder);
    ASSERT_EQ(0, download("pkg/f.bin"));
    EXPECT_EQ(folder + "/f.bin", checker.get_file_path());
    EXPECT_EQ("from the server", testutil::read_file(folder + "/f.bin"));

    // Hidden, empty or not plain names are refused, with the reason.
    const std::pair<const char*, const char*> refused[] = {{"pkg/.profile", "it is hidden"},
                                                           {".profile", "it is hidden"},
                                                           {"pkg/x/../.bashrc", "it is hidden"},
                                                           {"..", "it is not a plain file name"},
                                                           {"pkg/a\x01", "it is not a plain file name"}};
    for (const auto& r : refused) {
        EXPECT_EQ(-1, download(r.first)) << r.first;
        EXPECT_NE(std::string::npos, checker.failure().find(std::string("is refused: ") + r.second))
            << checker.failure();
    }
    EXPECT_EQ("mine", testutil::read_file(home + "/.profile"));
    EXPECT_EQ(std::vector<std::string>{"f.bin"}, home_files("", folder));
    EXPECT_EQ(std::vector<std::string>{".profile"}, home_files("profile", home));
}

TEST_F(GuiTest, UpdateWindowSaysWhyTheListOrTheDownloadFailed)
{
    Area a;
    const auto window_text = [&](bool click_ok, const std::string& until) {
        TimerGaps gaps(50);
        TellumCheckForUpdate::run(true);
        GtkWidget* window = nullptr;
        EXPECT_TRUE(guitest::pump_until([&] { return (window = update_window()) != nullptr; }, 40));
        if (!window)
            return std::string();
        gdk_display_sync(gdk_display_get_default());
        guitest::pump_for(100);
        if (click_ok) {
            EXPECT_TRUE(guitest::click(button_labelled(window, "gtk-ok")));
        }
        guitest::pump_until([&] { return shown_text(window).find(until) != std::string::npos; }, 30);
        const std::string text = shown_text(window);
        // The check and the download run off the GTK main thread.
        EXPECT_LT(gaps.worst_ms(), 2000);
        // The window takes its new size for the end text first.
        guitest::pump_for(300);
        EXPECT_TRUE(guitest::click(button_labelled(window, "gtk-quit")));
        EXPECT_TRUE(guitest::pump_until([] { return TellumCheckForUpdate::count() == 0; }, 10));
        return text;
    };

    // No network: a closed port, a name that does not resolve.
    const std::pair<std::string, const char*> offline[] = {
        {"http://127.0.0.1:" + std::to_string(loopback::free_port(G_SOCKET_TYPE_STREAM)), "Connection refused"},
        {"http://updates.invalid", "Couldn't resolve host name"}};
    for (const auto& o : offline) {
        AppUpdateCheck::server_uri = o.first + "/downloads/software";
        const std::string text = window_text(false, "\n");
        EXPECT_NE(std::string::npos, text.find("could not be fetched")) << text;
        EXPECT_NE(std::string::npos, text.find(o.second)) << text;
        EXPECT_EQ(std::string::npos, text.find("latest version")) << text;
    }
    AppUpdateCheck::server_uri = "http://127.0.0.1:" + std::to_string(a.server.port) + "/downloads/software";

    // A hidden name of the list is refused: nothing is asked or written.
    name_download_folder("");
    const std::string home = g_get_home_dir();
    testutil::write_file(home + "/.profile", "mine");
    a.file("slow/.profile", "from the server");
    a.versions("KorvaneTellum 1.1.6.2 linux slow/.profile\n");
    std::string text = window_text(true, "Download failed.");
    EXPECT_NE(std::string::npos, text.find("Download failed.\nThe file name \".profile\" of the versions list is "
                                           "refused: it is hidden."))
        << text;
    EXPECT_EQ("mine", testutil::read_file(home + "/.profile"));

    // Without a download folder the operator is asked for one.
    const std::string chosen = testutil::make_temp_dir("chosen");
    a.file("slow/slow-small.bin", random_bytes(100000));
    a.versions("KorvaneTellum 1.1.6.2 linux slow/slow-small.bin\n");
    bool asked = false;
    guitest::give_chooser_settings();
    gint64 since = 0;
    gint64 there_since = 0;
    guitest::Later answer([&] {
        GtkWidget* chooser = guitest::shown(GTK_TYPE_FILE_CHOOSER_DIALOG, "Download folder");
        if (!chooser)
            return false;
        asked = true;
        if (!since)
            since = g_get_monotonic_time();
        // The folder opened, and chosen once the chooser shows it (a load
        // of the folder it started in may still come after: it is opened
        // again then).
        // Chosen half a second after, as a person would: the toolkit's own
        // chooser still loads the folder's icons just after it opens it,
        // and those loads are not all cancelled when it goes.
        gchar* at = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(chooser));
        const bool there = at && chosen == at;
        g_free(at);
        if (there && !there_since)
            there_since = g_get_monotonic_time();
        if (there && g_get_monotonic_time() - there_since > 500000) {
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
            return true;
        }
        if (there)
            return false;
        there_since = 0;
        if (g_get_monotonic_time() - since > 20000000) {
            ADD_FAILURE() << "the chooser did not open " << chosen;
            gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
            return true;
        }
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), chosen.c_str());
        return false;
    });
    text = window_text(true, "Download finished.");
    EXPECT_TRUE(asked);
    EXPECT_NE(std::string::npos, text.find("Download finished.\n" + chosen + "/slow-small.bin\nis ready.")) << text;
    EXPECT_EQ(std::vector<std::string>{"slow-small.bin"}, home_files("", chosen));
}
