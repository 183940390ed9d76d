#include "ostrel/StringUtils.h"

#include <algorithm>
#include <cctype>

namespace {

const char* const blanks = " \t\n";

} // namespace

std::string downcase(const std::string& text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string trim_left(const std::string& text)
{
    const size_t first = text.find_first_not_of(blanks);
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string trim_right(const std::string& text)
{
    const size_t last = text.find_last_not_of(blanks);
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string trim_str(const std::string& text)
{
    return trim_str(text, blanks);
}

std::string trim_str(const std::string& text, const char* blanks_given)
{
    const size_t first = text.find_first_not_of(blanks_given);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks_given) - first + 1);
}

void stringtok(std::vector<std::string>& list, const std::string& text, const char* delimiters,
               bool trim)
{
    size_t pos = 0;
    const size_t n = text.size();
    while (pos < n) {
        pos = text.find_first_not_of(delimiters, pos);
        if (pos == std::string::npos)
            return;
        size_t end = text.find_first_of(delimiters, pos);
        if (end == std::string::npos)
            end = n;
        std::string token = text.substr(pos, end - pos);
        list.push_back(trim ? trim_str(token) : token);
        pos = end + 1;
    }
}

void stringtok(std::vector<std::string>& list, const std::string& text, const char* delimiters)
{
    stringtok(list, text, delimiters, false);
}

std::string unquote_path(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        return text.substr(1, text.size() - 2);
    return text;
}

namespace PathUtils {

std::string normpath(const std::string& path)
{
    if (path.empty())
        return ".";
    std::string p = unquote_path(path);
    std::replace(p.begin(), p.end(), '\\', '/');

    // POSIX gives a leading "//" a meaning of its own; three or more are one.
    size_t slashes = 0;
    while (slashes < p.size() && p[slashes] == '/')
        ++slashes;
    const size_t lead = slashes == 0 ? 0 : (slashes == 2 ? 2 : 1);

    std::vector<std::string> pieces;
    stringtok(pieces, p, "/");
    std::vector<std::string> kept;
    for (const std::string& piece : pieces) {
        if (piece == ".")
            continue;
        if (piece == "..") {
            if ((lead == 0 && kept.empty()) || (!kept.empty() && kept.back() == ".."))
                kept.push_back(piece);
            else if (!kept.empty())
                kept.pop_back();
            continue;
        }
        kept.push_back(piece);
    }

    std::string out(lead, '/');
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i)
            out += '/';
        out += kept[i];
    }
    return out.empty() ? "." : out;
}

std::pair<std::string, std::string> splitext(const std::string& path)
{
    const std::string p = normpath(path);
    // Only the last component can carry an extension, so a dot in a folder
    // name never cuts the path. Leading dots belong to the name (".hidden",
    // "..") and start no extension.
    const size_t slash = p.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    size_t name = base;
    while (name < p.size() && p[name] == '.')
        ++name;
    const size_t dot = p.rfind('.');
    if (dot == std::string::npos || dot < name)
        return {p, std::string()};
    return {p.substr(0, dot), p.substr(dot)};
}

} // namespace PathUtils
