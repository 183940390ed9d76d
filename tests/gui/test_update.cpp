// The update check against an HTTP server of the test's own on 127.0.0.1:
// the versions list's cases, downloads that are whole or leave nothing,
// never replace a file and can be cancelled, and the window that says
// "Download finished." only then and leaves no thread behind when closed.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "GuiTest.h"
#include "common/TestUtil.h"
#include "gui/AppUpdateCheck.h"
#include "gui/TellumCheckForUpdate.h"

namespace {

// The server, with a bounded life of its own, serving `root`.
class UpdateServer {
public:
    explicit UpdateServer(const std::string& root)
    {
        const std::string life = "120";
        const gchar* argv[] = {"/usr/bin/python3", UPDATE_SERVER, root.c_str(), life.c_str(), nullptr};
        int out = -1;
        GError* error = nullptr;
        if (!g_spawn_async_with_pipes(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                      nullptr, nullptr, &pid, &in, &out, nullptr, &error)) {
            ADD_FAILURE() << error->message;
            g_error_free(error);
            return;
        }
        std::string line;
        pollfd p{out, POLLIN, 0};
        char c = 0;
        while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 && ::read(out, &c, 1) == 1)
            line += c;
        ::close(out);
        port = std::atoi(line.c_str());
        EXPECT_GT(port, 0) << "the server did not start";
    }
    ~UpdateServer()
    {
        if (in >= 0)
            ::close(in);
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
            g_spawn_close_pid(pid);
        }
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port) + "/downloads/software"; }

    GPid pid = 0;
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

// A download area with its versions list.
struct Area {
    Area() : root(testutil::make_temp_dir("server")), area(root + "/downloads/software"), server(root)
    {
        g_mkdir_with_parents((area + "/pkg").c_str(), 0700);
        g_mkdir_with_parents((area + "/slow").c_str(), 0700);
        AppUpdateCheck::server_uri = server.base();
    }
    void versions(const std::string& text) { testutil::write_file(area + "/versions.txt", text); }
    void file(const std::string& name, const std::string& bytes) { testutil::write_file(area + "/" + name, bytes); }

    std::string root, area;
    UpdateServer server;
};

// The names in the home folder (where downloads go without a download
// folder) that start with the prefix.
std::vector<std::string> home_files(const std::string& prefix)
{
    std::vector<std::string> out;
    GDir* dir = g_dir_open(g_get_home_dir(), 0, nullptr);
    while (const char* name = dir ? g_dir_read_name(dir) : nullptr)
        if (std::string(name).find(prefix) != std::string::npos)
            out.emplace_back(name);
    if (dir)
        g_dir_close(dir);
    std::sort(out.begin(), out.end());
    return out;
}

// Whether a thread of that name runs in this process.
bool thread_named(const std::string& name)
{
    bool found = false;
    GDir* tasks = g_dir_open("/proc/self/task", 0, nullptr);
    while (const char* task = tasks ? g_dir_read_name(tasks) : nullptr) {
        gchar* comm = nullptr;
        const std::string path = std::string("/proc/self/task/") + task + "/comm";
        if (g_file_get_contents(path.c_str(), &comm, nullptr, nullptr) && std::string(comm) == name + "\n")
            found = true;
        g_free(comm);
    }
    if (tasks)
        g_dir_close(tasks);
    return found;
}

struct CountingSink : AppDownloadProgress {
    void set_progress(double fraction) override { last = fraction; }
    double get_progress() override { return last; }
    std::atomic<double> last{0};
};

void collect(GtkWidget* w, GType type, std::vector<GtkWidget*>& out)
{
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, type))
        out.push_back(w);
    if (GTK_IS_CONTAINER(w)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(w));
        for (GList* l = children; l; l = l->next)
            collect(GTK_WIDGET(l->data), type, out);
        g_list_free(children);
    }
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
    EXPECT_EQ(0, check("KorvaneTellum 1.1.6.1 linux dir/file\n"));
    EXPECT_EQ(1, check("KorvaneTellum 2.0.0.0 linux f\n"));
    EXPECT_EQ(1, check("KorvaneTellum 1.2.0.0 linux f\n"));
    EXPECT_EQ(0, check("KorvaneTellum 1.1.5.9 linux f\n"));
    EXPECT_EQ(0, check("KorvaneTellum 0.9.9.9 linux f\n"));
    // Only the first Linux line counts.
    EXPECT_EQ(0, check("KorvaneTellum 1.0.0.0 linux old\nKorvaneTellum 9.0.0.0 linux new\n"));
    // The last line ends the list with or without a newline.
    EXPECT_EQ(0, check("KorvaneTellum 9.9.9.9 windows f.exe"));
    EXPECT_EQ("", testutil::capture_stdout([&] { EXPECT_EQ(0, check("KorvaneTellum 9.9.9.9 windows f.exe\n")); }));
    EXPECT_EQ("Problems reading line\n", testutil::capture_stdout([&] { EXPECT_EQ(0, check("KorvaneTellum 9.x linux f\n")); }));
    // Without the name the file found before stays.
    a.versions("SomethingElse 9.9.9.9 linux other\n");
    EXPECT_EQ(0, checker.check_for_update());
    EXPECT_EQ("file", checker.get_filename());
    // A list over 1 MiB is not taken, nor a 404, nor anything but http(s).
    EXPECT_EQ(0, check("KorvaneTellum 9.9.9.9 linux f\n" + std::string(1100000, '#') + "\n"));
    EXPECT_EQ(0, check(""));
    g_unlink((a.area + "/versions.txt").c_str());
    EXPECT_EQ(0, AppUpdateCheck().check_for_update());
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
    const std::string home = g_get_home_dir();
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
    EXPECT_TRUE(home_files("slow").empty());
    EXPECT_EQ((std::vector<std::string>{"brisko-9.tar-1.gz", "brisko-9.tar.gz"}), home_files("brisko-9"));
}

TEST_F(GuiTest, UpdateWindowSaysFinishedOnlyOnceTheFileIsWhole)
{
    Area a;
    const std::string bytes = random_bytes(400000);
    a.file("slow/slow-pkg.bin", bytes);
    a.versions("KorvaneTellum 1.1.6.2 linux slow/slow-pkg.bin\n");
    TellumCheckForUpdate::run(true);
    GtkWidget* window = nullptr;
    ASSERT_TRUE(guitest::pump_until([&] { return (window = update_window()) != nullptr; }, 20));
    guitest::show_and_wait(window);
    EXPECT_NE(std::string::npos, shown_text(window).find("slow-pkg.bin\nis ready for download.")) << shown_text(window);
    ASSERT_TRUE(guitest::click(button_labelled(window, "gtk-ok")));

    std::vector<GtkWidget*> bars;
    collect(window, GTK_TYPE_PROGRESS_BAR, bars);
    ASSERT_EQ(1u, bars.size());
    ASSERT_TRUE(guitest::pump_until(
        [&] { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bars[0])) > 0; }, 20));
    EXPECT_EQ(std::string::npos, shown_text(window).find("Download finished.")) << "under way: " << shown_text(window);
    const std::string path = std::string(g_get_home_dir()) + "/slow-pkg.bin";
    ASSERT_TRUE(guitest::pump_until(
        [&] { return shown_text(window).find("Download finished.") != std::string::npos; }, 30));
    EXPECT_NE(std::string::npos, shown_text(window).find("Download finished.\n" + path + "\nis ready.\n"));
    EXPECT_TRUE(testutil::read_file(path) == bytes);

    // The window takes its new size for the end text first.
    guitest::pump_for(300);
    ASSERT_TRUE(guitest::click(button_labelled(window, "gtk-quit")));
    EXPECT_TRUE(guitest::pump_until([] { return TellumCheckForUpdate::count() == 0; }, 10));
    EXPECT_EQ(nullptr, update_window());
}

TEST_F(GuiTest, UpdateWindowClosedDuringADownloadLeavesNoThread)
{
    Area a;
    a.file("slow/slow-big.bin", random_bytes(4000000));
    a.versions("KorvaneTellum 1.1.6.2 linux slow/slow-big.bin\n");
    TellumCheckForUpdate::run(false);
    GtkWidget* window = nullptr;
    ASSERT_TRUE(guitest::pump_until([&] { return (window = update_window()) != nullptr; }, 20));
    guitest::show_and_wait(window);
    ASSERT_TRUE(guitest::click(button_labelled(window, "gtk-ok")));
    std::vector<GtkWidget*> bars;
    collect(window, GTK_TYPE_PROGRESS_BAR, bars);
    ASSERT_EQ(1u, bars.size());
    ASSERT_TRUE(guitest::pump_until(
        [&] { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bars[0])) > 0; }, 20));
    EXPECT_TRUE(thread_named("download_async"));

    const std::string out = testutil::capture_stdout([&] {
        guitest::wm_delete(window);
        EXPECT_TRUE(guitest::pump_until([] { return TellumCheckForUpdate::count() == 0; }, 10));
    });
    EXPECT_NE(std::string::npos, out.find("have to stop download")) << out;
    EXPECT_FALSE(thread_named("download_async"));
    EXPECT_TRUE(home_files("slow-big").empty());
}
