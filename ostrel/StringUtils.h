// Small helpers on byte strings that every layer reads texts with: trimming,
// tokenising, and the path functions that work on the text alone, without
// the file system.
#ifndef OSTREL_STRINGUTILS_H
#define OSTREL_STRINGUTILS_H

#include <string>
#include <utility>
#include <vector>

// Lower-cases every byte with the C library.
std::string downcase(const std::string& text);
// Trimming removes space, tab and newline; a carriage return is kept.
std::string trim_left(const std::string& text);
std::string trim_right(const std::string& text);
std::string trim_str(const std::string& text);
// Trimming of the characters of `blanks`.
std::string trim_str(const std::string& text, const char* blanks);

// Appends the maximal runs of non-delimiter characters of `text` to `list`;
// runs of delimiters never give empty tokens. With `trim` each token goes
// through trim_str (a token of blanks then becomes the empty text).
void stringtok(std::vector<std::string>& list, const std::string& text, const char* delimiters,
               bool trim);
void stringtok(std::vector<std::string>& list, const std::string& text, const char* delimiters);

// The text between a leading and a trailing single quote, or the text as it is.
std::string unquote_path(const std::string& text);

namespace PathUtils {

std::string normpath(const std::string& path);
// (stem, extension) of the last path component, the '.' going with the
// extension.
std::pair<std::string, std::string> splitext(const std::string& path);

} // namespace PathUtils

#endif
