// Per-user folders. The test main gives the process a private HOME and XDG
// folders without user-directory settings.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TestUtil.h"
#include "config/PathConfig.h"
#include "config/PathUtils.h"

namespace {

const char* const app = "brisko-test";

void name_application()
{
    static bool named = false;
    if (!named)
        g_set_application_name(app);
    named = true;
}

bool is_dir(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string env(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

TEST(PathConfigTest, FoldersFallBackToHomeWithoutDocumentsFolder)
{
    name_application();
    ASSERT_EQ(nullptr, g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS));
    PathConfig::create_default_folders();

    const std::string config = env("XDG_CONFIG_HOME") + "/" + app;
    const std::string data = env("HOME") + "/" + app;
    EXPECT_EQ(config, PathConfig::get_default_config_dir());
    EXPECT_EQ(config + "/lib", PathConfig::get_default_lib_dir());
    EXPECT_EQ(config + "/glade", PathConfig::get_default_glade_dir());
    EXPECT_EQ(config + "/config", PathConfig::get_default_schema_dir());
    EXPECT_EQ(data, PathConfig::get_default_data_dir());
    EXPECT_EQ(data, PathConfig::get_default_output_dir());
    for (const std::string& d : {config, config + "/lib", config + "/glade", config + "/config", data})
        EXPECT_TRUE(is_dir(d)) << d;

    // A schema list built now searches the per-user schema folder.
    testutil::write_file(config + "/config/user-test.xsd", "");
    EXPECT_EQ(config + "/config/user-test.xsd", SchemaPath().find_schema("user-test.xsd", ""));
}

TEST(PathConfigTest, DocumentsFolderFromUserDirectorySettings)
{
    name_application();
    const std::string settings = env("XDG_CONFIG_HOME") + "/user-dirs.dirs";
    testutil::write_file(settings, "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
    g_reload_user_special_dirs_cache();
    PathConfig::create_default_folders();
    const std::string data = env("HOME") + "/Papers/" + app;
    EXPECT_EQ(data, PathConfig::get_default_data_dir());
    EXPECT_EQ(data, PathConfig::get_default_output_dir());
    EXPECT_TRUE(is_dir(data));
    std::remove(settings.c_str());
    g_reload_user_special_dirs_cache();
}

TEST(PathConfigTest, FailureIsLoggedAndTheOtherFoldersAreMade)
{
    name_application();
    PathConfig::create_default_folders();
    const std::string glade = PathConfig::get_default_glade_dir();
    const std::string schema = PathConfig::get_default_schema_dir();
    ASSERT_EQ(0, ::rmdir(glade.c_str()));
    ::rmdir(schema.c_str());
    testutil::write_file(glade, "in the way");

    const std::string out = testutil::capture_stdout([] { PathConfig::create_default_folders(); });
    EXPECT_NE(std::string::npos, out.find("Cannot create default glade folder: Not a directory"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("Cannot create config folder"));
    EXPECT_EQ(glade, PathConfig::get_default_glade_dir());
    EXPECT_TRUE(is_dir(schema));
    std::remove(glade.c_str());
}
