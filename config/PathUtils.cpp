#include "config/PathUtils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config/PathConfig.h"

#ifndef BRISKO_DATA_DIR
#error "BRISKO_DATA_DIR must name the installed data directory"
#endif

namespace {

std::string& program_path()
{
    static std::string path;
    return path;
}

const char* env(const char* name)
{
    return std::getenv(name);
}

} // namespace

namespace PathUtils {

bool isabs(const std::string& path)
{
    const std::string p = unquote_path(path);
    if (!p.empty() && p[0] == '/')
        return true;
    return p.size() >= 3 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
           p[2] == '/';
}

bool exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string dir_name(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_name(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string& a, const std::string& b)
{
    return abspath(a + "/" + b);
}

std::string join(const std::string& a, const std::vector<std::string>& pieces)
{
    std::string out = a;
    for (const std::string& piece : pieces) {
        if (!piece.empty() && piece[0] == '/') {
            out = piece;
            continue;
        }
        if (!out.empty() && out.back() != '/')
            out += '/';
        out += piece;
    }
    return out;
}

std::string expanduser(const std::string& path)
{
    if (path.empty() || path[0] != '~')
        return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);

    std::string home;
    if (user.empty()) {
        if (const char* h = env("HOME")) {
            home = h;
        } else {
            const struct passwd* pw = getpwuid(getuid());
            if (!pw || !pw->pw_dir)
                return path;
            home = pw->pw_dir;
        }
    } else {
        const struct passwd* pw = getpwnam(user.c_str());
        if (!pw || !pw->pw_dir)
            return path;
        home = pw->pw_dir;
    }
    return home + rest;
}

std::string getcwd()
{
    // Grow until the whole path fits: deep working directories are legal.
    std::vector<char> buffer(1024);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size()))
            return std::string(buffer.data());
        if (errno != ERANGE)
            return ".";
        buffer.resize(buffer.size() * 2);
    }
}

std::string abspath(const std::string& path)
{
    std::string p = unquote_path(path);
    if (!isabs(p)) {
        if (!p.empty() && p[0] == '~') {
            const char* home = env("HOME");
            std::string h;
            if (home) {
                h = home;
            } else if (const struct passwd* pw = getpwuid(getuid())) {
                h = pw->pw_dir ? pw->pw_dir : "";
            }
            if (!h.empty())
                p = h + p.substr(1);
            else
                p = getcwd() + "/" + p;
        } else {
            p = getcwd() + "/" + p;
        }
    }
    return normpath(p);
}

std::pair<std::string, std::string> split_path(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {std::string(), path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

std::string find_bin(const std::string& name)
{
    if (exists(name))
        return name;
    const std::string base = base_name(name);
    // Without PATH there is nothing to search.
    const char* path = env("PATH");
    if (path) {
        std::vector<std::string> dirs;
        stringtok(dirs, path, ":");
        for (const std::string& dir : dirs) {
            const std::string candidate = dir + "/" + base;
            if (exists(candidate))
                return candidate;
        }
    }
    return base;
}

void find_file(const std::string& pattern, std::vector<std::string>& list, const std::string& dir,
               bool recurse)
{
    const std::string d = dir.empty() ? std::string(".") : dir;
    DIR* handle = opendir(d.c_str());
    if (!handle) {
        std::fprintf(stderr, "Cannot read directory '%s': %s\n", d.c_str(), std::strerror(errno));
        return;
    }
    while (const struct dirent* entry = readdir(handle)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string full = join(d, name);
        struct stat st;
        if (::stat(full.c_str(), &st) != 0) {
            std::fprintf(stderr, "stat: %s\n", std::strerror(errno));
            continue;
        }
        if (S_ISDIR(st.st_mode) && recurse) {
            std::fputs("PathUtils::find_file with recursion not implemented.\n", stderr);
            continue;
        }
        if (full.find(pattern) != std::string::npos)
            list.push_back(full);
    }
    closedir(handle);
}

void set_program_path(const char* argv0)
{
    program_path() = argv0 ? abspath(argv0) : std::string();
}

std::string get_program_path()
{
    return program_path();
}

} // namespace PathUtils

// ---------------------------------------------------------------------------

SearchPath::SearchPath(const std::string& text)
{
    add_path(text);
    const std::string cwd = PathUtils::getcwd();
    if (std::none_of(_paths.begin(), _paths.end(),
                     [&](const std::string& p) { return p == "." || p == cwd; })) {
        _paths.insert(_paths.begin(), ".");
        _held.insert(".");
    }
    if (std::none_of(_paths.begin(), _paths.end(), [](const std::string& p) { return p.empty(); })) {
        _paths.insert(_paths.begin(), std::string());
        _held.insert(std::string());
    }
    purge();
}

SearchPath::~SearchPath() = default;

void SearchPath::add_path(const std::string& text)
{
    std::vector<std::string> pieces;
    stringtok(pieces, text, ":", true);
    for (const std::string& piece : pieces) {
        if (_held.insert(piece).second)
            _paths.push_back(piece);
    }
}

void SearchPath::add_path(const SearchPath& other)
{
    const std::vector<std::string> entries = other._paths;
    for (const std::string& entry : entries)
        add_path(entry);
}

void SearchPath::prepend_path(const std::string& text)
{
    std::vector<std::string> pieces;
    stringtok(pieces, text, ":", true);
    _paths.insert(_paths.begin(), pieces.begin(), pieces.end());
    _held.insert(pieces.begin(), pieces.end());
}

void SearchPath::prepend_path(const SearchPath& other)
{
    const std::vector<std::string> front = other._paths;
    _paths.insert(_paths.begin(), front.begin(), front.end());
    _held.insert(front.begin(), front.end());
}

bool SearchPath::has_path(const std::string& dir) const
{
    return _held.count(dir) != 0;
}

void SearchPath::purge()
{
    std::set<std::string> seen;
    std::vector<std::string> kept;
    for (const std::string& p : _paths) {
        if (seen.insert(p).second)
            kept.push_back(p);
    }
    _paths.swap(kept);
}

std::string SearchPath::find_file(const std::string& name) const
{
    if (PathUtils::exists(name))
        return PathUtils::abspath(name);
    for (const std::string& dir : _paths) {
        const std::string candidate = PathUtils::join(dir, name);
        if (PathUtils::exists(candidate))
            return candidate;
    }
    return std::string();
}

std::ostream& operator<<(std::ostream& os, const SearchPath& path)
{
    for (const std::string& p : path)
        os << p << "\n";
    return os;
}

// ---------------------------------------------------------------------------

SchemaPath::SchemaPath()
{
    _paths.push_back(".");
    _paths.push_back(BRISKO_DATA_DIR "/config");
    // Before the per-user folders exist there is no such folder to add; an
    // empty entry would search the root directory instead.
    const std::string user_dir = PathConfig::get_default_schema_dir();
    if (!user_dir.empty())
        _paths.push_back(user_dir);
    if (const char* home = env("HOME"))
        _paths.push_back(std::string(home) + "/.brisko");
    if (const char* extra = env("SCHEMA_PATHS"))
        stringtok(_paths, extra, ":");
}

void SchemaPath::add_path(const std::string& dir)
{
    _paths.push_back(dir);
}

std::string SchemaPath::find_schema(const std::string& schema, const std::string& directory) const
{
    std::vector<std::string> dirs;
    if (!directory.empty())
        dirs.push_back(directory);
    dirs.insert(dirs.end(), _paths.begin(), _paths.end());

    std::string candidate;
    for (const std::string& dir : dirs) {
        candidate = dir + "/" + schema;
        if (::access(candidate.c_str(), F_OK) == 0)
            return candidate;
    }
    return candidate;
}
