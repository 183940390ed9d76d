// Path manipulation and directory search lists of the configuration layer,
// on top of the string helpers below it. Everything works on byte strings
// with '/' as the separator.
#ifndef BRISKO_CONFIG_PATHUTILS_H
#define BRISKO_CONFIG_PATHUTILS_H

#include <iosfwd>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/StringUtils.h"

namespace PathUtils {

// '/x' and 'C:/x' are absolute, also inside single quotes.
bool isabs(const std::string& path);
bool exists(const std::string& path);
// Up to and including the last '/'; empty without '/'.
std::string dir_name(const std::string& path);
// After the last '/'; the whole text without '/'.
std::string base_name(const std::string& path);
// abspath(a + "/" + b).
std::string join(const std::string& a, const std::string& b);
// Appends the pieces to `a`; a piece starting with '/' starts over. Not
// normalised.
std::string join(const std::string& a, const std::vector<std::string>& pieces);
std::string expanduser(const std::string& path);
// The working directory; "." when it cannot be read.
std::string getcwd();
std::string abspath(const std::string& path);
// (head, tail) around the last '/'.
std::pair<std::string, std::string> split_path(const std::string& path);
// The name when it exists, else the first PATH directory that holds its base
// name, else the base name alone.
std::string find_bin(const std::string& name);
// Appends to `list` the entries of `dir` whose full name contains `pattern`.
void find_file(const std::string& pattern, std::vector<std::string>& list, const std::string& dir,
               bool recurse);
void set_program_path(const char* argv0);
std::string get_program_path();

} // namespace PathUtils

// An ordered list of directories to look for files in.
class SearchPath {
public:
    using const_iterator = std::vector<std::string>::const_iterator;

    // The list of a colon-separated text, always headed by the empty entry
    // (the root directory) and the working directory ".".
    explicit SearchPath(const std::string& text = std::string());
    virtual ~SearchPath();
    SearchPath(const SearchPath&) = default;
    SearchPath& operator=(const SearchPath&) = default;

    // Appends the colon-separated directories this list has not taken in yet.
    void add_path(const std::string& text);
    void add_path(const SearchPath& other);
    // Puts the directories in front, in their order, repeats allowed.
    void prepend_path(const std::string& text);
    void prepend_path(const SearchPath& other);
    bool has_path(const std::string& dir) const;
    // Drops every entry that repeats an earlier one.
    void purge();
    // The absolute path of the name itself or of the first entry holding
    // it; empty when none does.
    std::string find_file(const std::string& name) const;

    const_iterator begin() const { return _paths.begin(); }
    const_iterator end() const { return _paths.end(); }
    size_t size() const { return _paths.size(); }

private:
    std::vector<std::string> _paths;
    std::set<std::string> _held;
};

// Every entry followed by a newline.
std::ostream& operator<<(std::ostream& os, const SearchPath& path);

// The directories where XML schema files are looked for.
class SchemaPath {
public:
    SchemaPath();
    void add_path(const std::string& dir);
    // The first existing dir/schema, `directory` (when not empty) searched
    // before the others; when none exists, the last candidate tried.
    std::string find_schema(const std::string& schema, const std::string& directory) const;

private:
    std::vector<std::string> _paths;
};

#endif
