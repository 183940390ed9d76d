// Path manipulation, search lists and string helpers.
#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TestUtil.h"
#include "config/PathUtils.h"

using Split = std::pair<std::string, std::string>;
using Texts = std::vector<std::string>;

namespace {

std::string home()
{
    return std::getenv("HOME");
}

// Restores the working directory at the end of a test.
struct CwdGuard {
    std::string saved = PathUtils::getcwd();
    ~CwdGuard()
    {
        if (::chdir(saved.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << saved;
    }
};

Texts entries(const SearchPath& p)
{
    return Texts(p.begin(), p.end());
}

} // namespace

TEST(StringTest, TrimSplitAndCase)
{
    EXPECT_EQ("x \r", trim_str(" \tx \r\n"));
    EXPECT_EQ("", trim_str(" \t\n "));
    EXPECT_EQ("a ", trim_left("\n a "));
    EXPECT_EQ(" a", trim_right(" a\t\n"));
    EXPECT_EQ("true", downcase("TRUE"));
    EXPECT_EQ("a", unquote_path("'a'"));
    EXPECT_EQ("'a", unquote_path("'a"));
    EXPECT_EQ("'", unquote_path("'"));

    Texts out{"kept"};
    stringtok(out, "::a::b:", ":");
    EXPECT_EQ((Texts{"kept", "a", "b"}), out);
    out.clear();
    stringtok(out, " a , ,b", ",", true);
    EXPECT_EQ((Texts{"a", "", "b"}), out);
    out.clear();
    stringtok(out, ":::", ":");
    EXPECT_TRUE(out.empty());
}

TEST(PathUtilsTest, Normpath)
{
    const Split cases[] = {
        {"", "."},         {"a/./b/../c", "a/c"}, {"../x", "../x"},  {"/../x", "/x"},
        {"//a", "//a"},    {"///a", "/a"},        {"a\\b", "a/b"},   {"'/tmp/x'", "/tmp/x"},
        {"a/../..", ".."}, {"../../x/..", "../.."}, {"/", "/"},      {"./", "."},
        {"a//b/", "a/b"},  {"''", "."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, PathUtils::normpath(c.first)) << "normpath(" << c.first << ")";
}

TEST(PathUtilsTest, JoinSplitAndNames)
{
    using PathUtils::join;
    EXPECT_EQ("/a/c", join("/a", "b/../c"));
    EXPECT_EQ("/x", join("", "x"));
    EXPECT_EQ("/c/d", join("/a", Texts{"b", "/c", "d"}));
    EXPECT_EQ("/a/b", join("/a/", Texts{"b"}));
    EXPECT_EQ("b/c", join("", Texts{"b", "c"}));

    EXPECT_EQ("", PathUtils::dir_name("file"));
    EXPECT_EQ("/a/", PathUtils::dir_name("/a/b"));
    EXPECT_EQ("b", PathUtils::base_name("/a/b"));
    EXPECT_EQ("file", PathUtils::base_name("file"));

    EXPECT_EQ(Split("dir", "file"), PathUtils::split_path("dir/file"));
    EXPECT_EQ(Split("/", "file"), PathUtils::split_path("/file"));
    EXPECT_EQ(Split("", "file"), PathUtils::split_path("file"));

    EXPECT_TRUE(PathUtils::isabs("C:/x"));
    EXPECT_TRUE(PathUtils::isabs("'/x'"));
    EXPECT_FALSE(PathUtils::isabs("x"));
    EXPECT_FALSE(PathUtils::isabs("C:x"));
}

TEST(PathUtilsTest, SplitextLooksOnlyAtTheLastComponent)
{
    const std::pair<const char*, Split> cases[] = {
        {"dir.old/file", {"dir.old/file", ""}},
        {"run.dat", {"run", ".dat"}},
        {"/a.b/run.h5", {"/a.b/run", ".h5"}},
        {"run.tar.gz", {"run.tar", ".gz"}},
        {".hidden", {".hidden", ""}},
        {"dir/.hidden", {"dir/.hidden", ""}},
        {"dir/.a.b", {"dir/.a", ".b"}},
        {"..", {"..", ""}},
        {"./x/run.dat", {"x/run", ".dat"}},
        {"run.", {"run", "."}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, PathUtils::splitext(c.first)) << "splitext(" << c.first << ")";
}

TEST(PathUtilsTest, HomeAndAbsolutePaths)
{
    EXPECT_EQ(home() + "x/y", PathUtils::abspath("~x/y"));
    EXPECT_EQ(home() + "/y", PathUtils::abspath("~/y"));
    EXPECT_EQ(PathUtils::getcwd() + "/r", PathUtils::abspath("r/./s/.."));
    EXPECT_EQ("/tmp/x", PathUtils::abspath("'/tmp//x'"));

    EXPECT_EQ(home() + "/a", PathUtils::expanduser("~/a"));
    EXPECT_EQ(home(), PathUtils::expanduser("~"));
    EXPECT_EQ("/root/a", PathUtils::expanduser("~root/a"));
    EXPECT_EQ("~no-such-user-here/a", PathUtils::expanduser("~no-such-user-here/a"));
    EXPECT_EQ("a/~", PathUtils::expanduser("a/~"));

    PathUtils::set_program_path("bin/../bin/brisko");
    EXPECT_EQ(PathUtils::getcwd() + "/bin/brisko", PathUtils::get_program_path());
}

TEST(PathUtilsTest, GetcwdHandlesDeepDirectories)
{
    CwdGuard guard;
    const std::string base = testutil::make_temp_dir("deep");
    ASSERT_EQ(0, ::chdir(base.c_str()));
    const std::string piece(60, 'd');
    std::string expected = base;
    while (expected.size() < 3000) {
        ASSERT_EQ(0, ::mkdir(piece.c_str(), 0700));
        ASSERT_EQ(0, ::chdir(piece.c_str()));
        expected += "/" + piece;
    }
    EXPECT_EQ(expected, PathUtils::getcwd());
    EXPECT_EQ(expected + "/f", PathUtils::abspath("f"));
}

TEST(PathUtilsTest, FindBinAndFindFile)
{
    const std::string sh = PathUtils::find_bin("sh");
    EXPECT_EQ("/sh", sh.substr(sh.size() - 3));
    EXPECT_TRUE(PathUtils::exists(sh));
    EXPECT_EQ("prog-not-here", PathUtils::find_bin("/no/such/prog-not-here"));

    const std::string dir = testutil::make_temp_dir("find");
    testutil::write_file(dir + "/run1.dat", "");
    testutil::write_file(dir + "/run2.dat", "");
    testutil::write_file(dir + "/notes.txt", "");
    ASSERT_EQ(0, ::mkdir((dir + "/old.dat.d").c_str(), 0700));
    ASSERT_EQ(0, ::symlink("/no/such/target", (dir + "/dangling.dat").c_str()));

    Texts found;
    std::string err = testutil::capture_stderr([&] { PathUtils::find_file(".dat", found, dir, false); });
    std::sort(found.begin(), found.end());
    EXPECT_EQ((Texts{dir + "/old.dat.d", dir + "/run1.dat", dir + "/run2.dat"}), found);
    EXPECT_EQ("stat: No such file or directory\n", err);

    found.clear();
    err = testutil::capture_stderr([&] { PathUtils::find_file(".dat", found, dir, true); });
    EXPECT_EQ(2u, found.size());
    EXPECT_NE(std::string::npos, err.find("PathUtils::find_file with recursion not implemented.\n"));

    found.clear();
    err = testutil::capture_stderr([&] { PathUtils::find_file("x", found, dir + "/none", false); });
    EXPECT_TRUE(found.empty());
    EXPECT_EQ("Cannot read directory '" + dir + "/none': No such file or directory\n", err);
}

TEST(SearchPathTest, ConstructionAddAndPurge)
{
    EXPECT_EQ((Texts{"", "."}), entries(SearchPath()));
    EXPECT_EQ((Texts{"", ".", "/a", "/b"}), entries(SearchPath("/a:/b")));
    const std::string cwd = PathUtils::getcwd();
    EXPECT_EQ((Texts{"", cwd}), entries(SearchPath(cwd)));
    EXPECT_EQ((Texts{"", "/a", "."}), entries(SearchPath("/a:.:/a::")));

    SearchPath p;
    p.add_path("a: a :b");
    EXPECT_EQ((Texts{"", ".", "a", "b"}), entries(p));
    EXPECT_TRUE(p.has_path("a"));
    EXPECT_FALSE(p.has_path(" a "));
    p.prepend_path("b");
    EXPECT_EQ((Texts{"b", "", ".", "a", "b"}), entries(p));
    p.purge();
    EXPECT_EQ((Texts{"b", "", ".", "a"}), entries(p));

    SearchPath other("/x:/y");
    p.prepend_path(other);
    p.purge();
    EXPECT_EQ((Texts{"", ".", "/x", "/y", "b", "a"}), entries(p));
    SearchPath q("/q");
    q.add_path(p);
    EXPECT_EQ((Texts{"", ".", "/q", "/x", "/y", "b", "a"}), entries(q));

    // Assignment takes the held set along.
    SearchPath old("/old");
    SearchPath fresh("/fresh");
    fresh = old;
    fresh.add_path("/fresh");
    fresh.add_path("/old");
    EXPECT_EQ((Texts{"", ".", "/old", "/fresh"}), entries(fresh));

    std::ostringstream os;
    os << SearchPath("/a");
    EXPECT_EQ("\n.\n/a\n", os.str());
}

TEST(SearchPathTest, FindFile)
{
    CwdGuard guard;
    const std::string a = testutil::make_temp_dir("sa");
    const std::string b = testutil::make_temp_dir("sb");
    testutil::write_file(a + "/here.so", "");
    testutil::write_file(b + "/lib.so", "");
    testutil::write_file(b + "/here.so", "");
    ASSERT_EQ(0, ::chdir(a.c_str()));
    const SearchPath p(b + "/sub/..");
    EXPECT_EQ(a + "/here.so", p.find_file("here.so"));
    EXPECT_EQ(b + "/lib.so", p.find_file("lib.so"));
    EXPECT_EQ("", p.find_file("none.so"));
    EXPECT_EQ(b + "/lib.so", p.find_file(b + "/lib.so"));
}

TEST(SchemaPathTest, SearchOrder)
{
    const std::string first = testutil::make_temp_dir("schema1");
    const std::string added = testutil::make_temp_dir("schema2");
    testutil::write_file(first + "/both.xsd", "");
    testutil::write_file(added + "/both.xsd", "");
    testutil::write_file(added + "/added.xsd", "");

    SchemaPath s;
    s.add_path(added);
    EXPECT_EQ(added + "/s-not-anywhere.xsd", s.find_schema("s-not-anywhere.xsd", ""));
    EXPECT_EQ(first + "/both.xsd", s.find_schema("both.xsd", first));
    EXPECT_EQ(added + "/both.xsd", s.find_schema("both.xsd", ""));
    EXPECT_EQ(added + "/added.xsd", s.find_schema("added.xsd", first));
    // The configuration's folder is searched for one look-up only.
    EXPECT_EQ(added + "/x-none.xsd", s.find_schema("x-none.xsd", first));

    const std::string dot_brisko = home() + "/.brisko";
    ::mkdir(dot_brisko.c_str(), 0700);
    testutil::write_file(dot_brisko + "/home-test.xsd", "");
    EXPECT_EQ(dot_brisko + "/home-test.xsd", SchemaPath().find_schema("home-test.xsd", ""));

    const char* saved = std::getenv("SCHEMA_PATHS");
    const std::string keep = saved ? saved : "";
    ::setenv("SCHEMA_PATHS", ("::/no/such:" + added + ":").c_str(), 1);
    EXPECT_EQ(added + "/added.xsd", SchemaPath().find_schema("added.xsd", ""));
    EXPECT_EQ(added + "/none.xsd", SchemaPath().find_schema("none.xsd", ""));
    if (saved)
        ::setenv("SCHEMA_PATHS", keep.c_str(), 1);
    else
        ::unsetenv("SCHEMA_PATHS");
}
