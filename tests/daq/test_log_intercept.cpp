// GLib messages of the toolkit domains printed on standard output.
#include <string>

#include <glib.h>
#include <gtest/gtest.h>

#include "bin/LogIntercept.h"
#include "common/TestUtil.h"

namespace {

std::string logged(const char* domain, GLogLevelFlags level, const char* message)
{
    return testutil::capture_stdout([&] {
        // Nothing may end the test process, whatever GLib makes fatal.
        testutil::capture_stderr([&] { g_log(domain, level, "%s", message); });
    });
}

} // namespace

TEST(LogInterceptTest, ToolkitDomainsArePrintedWithThePrefix)
{
    setup_log_intercept();
    EXPECT_EQ("KorvaneTellum[Gtk]: widget gone\n",
              logged("Gtk", G_LOG_LEVEL_WARNING, "widget gone"));
    EXPECT_EQ("KorvaneTellum[Tellum]: Creating an ASCII Logger\n",
              logged("Tellum", G_LOG_LEVEL_WARNING, "Creating an ASCII Logger"));
    EXPECT_EQ("KorvaneTellum[GLib-GObject]: a\n", logged("GLib-GObject", G_LOG_LEVEL_CRITICAL, "a"));
    EXPECT_EQ("KorvaneTellum[GLib]: b\n", logged("GLib", G_LOG_LEVEL_MESSAGE, "b"));
    EXPECT_EQ("KorvaneTellum[XPath]: c\n", logged("XPath", G_LOG_LEVEL_INFO, "c"));
    EXPECT_EQ("KorvaneTellum[libglade]: could not find widget\n",
              logged("libglade", G_LOG_LEVEL_WARNING, "could not find widget"));
}

TEST(LogInterceptTest, LibgladeUnknownsAreDroppedAndOtherDomainsUntouched)
{
    setup_log_intercept();
    EXPECT_EQ("", logged("libglade", G_LOG_LEVEL_WARNING, "unknown widget class 'HstChart'"));
    EXPECT_EQ("", logged("Other", G_LOG_LEVEL_MESSAGE, "not ours"));
}

TEST(LogInterceptTest, HandlerPrintsWhateverTheLevel)
{
    const std::string out = testutil::capture_stdout([] {
        my_log("Gtk", G_LOG_LEVEL_DEBUG, "debug text", nullptr);
        my_log("Gtk", static_cast<GLogLevelFlags>(G_LOG_LEVEL_ERROR | G_LOG_FLAG_FATAL), "error text",
               nullptr);
        my_log("libglade", G_LOG_LEVEL_WARNING, "property unknown", nullptr);
    });
    EXPECT_EQ("KorvaneTellum[Gtk]: debug text\nKorvaneTellum[Gtk]: error text\n", out);
}
