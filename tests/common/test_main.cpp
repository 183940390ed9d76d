// Test main: gives the process a private HOME and private XDG folders before
// anything (GLib in particular) reads them, and removes them at the end.
#include <cstdlib>
#include <ftw.h>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

std::string make_private_home()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/brisko-test-home-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        std::abort();
    const std::string home = pattern;
    const char* sub[] = {"/.config", "/.local", "/.local/share", "/.cache", "/run"};
    for (const char* s : sub)
        mkdir((home + s).c_str(), 0700);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("TELLUM_LIB_DIR");
    unsetenv("TELLUM_GLADE_DIR");
    return home;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string home = make_private_home();
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    if (!std::getenv("BRISKO_KEEP_TEST_HOME"))
        nftw(home.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    return rc;
}
