#include "config/MarkupCheck.h"

#include <algorithm>
#include <string_view>

#include <glib.h>

namespace markup_check {

namespace {

using std::string_view;

const std::string bound = std::to_string(max_attributes);

size_t count_of(string_view text, string_view what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != string_view::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

bool starts(string_view text, string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// The encoding that the first bytes give, when the ASCII characters are not
// single bytes in it; "" otherwise.
std::string wide_encoding(string_view b)
{
    if (starts(b, string_view("\0\0\xFE\xFF", 4)) || starts(b, string_view("\0\0\0<", 4)))
        return "UTF-32BE";
    if (starts(b, string_view("\xFF\xFE\0\0", 4)) || starts(b, string_view("<\0\0\0", 4)))
        return "UTF-32LE";
    if (starts(b, "\xFE\xFF") || starts(b, string_view("\0<\0?", 4)))
        return "UTF-16BE";
    if (starts(b, "\xFF\xFE") || starts(b, string_view("<\0?\0", 4)))
        return "UTF-16LE";
    return std::string();
}

// The encoding the XML declaration names, "" without one.
std::string declared_encoding(string_view b)
{
    if (starts(b, "\xEF\xBB\xBF"))
        b.remove_prefix(3);
    if (!starts(b, "<?xml"))
        return std::string();
    const string_view decl = b.substr(0, b.find("?>"));
    size_t at = decl.find("encoding");
    if (at == string_view::npos)
        return std::string();
    at = decl.find_first_of("\"'", at);
    if (at == string_view::npos)
        return std::string();
    const size_t end = decl.find(decl[at], at + 1);
    return std::string(decl.substr(at + 1, end == string_view::npos ? 0 : end - at - 1));
}

// Text in which every character below 0x80 is one byte.
std::string scan(string_view t)
{
    size_t line = 1;
    size_t counted = 0;
    auto line_at = [&](size_t at) {
        line += static_cast<size_t>(std::count(t.begin() + counted, t.begin() + at, '\n'));
        counted = at;
        return std::to_string(line);
    };
    // libxml2 takes a start tag's attributes up to the next '<' at most
    // (none may hold one), so each stretch from one '<' to the next is
    // counted whatever it is. An entity's text may spell '=' and '<' as
    // character references, and is read as markup where it is used.
    long defaults = 0;
    for (size_t at = t.find('<'); at != string_view::npos;) {
        const size_t next = t.find('<', at + 1);
        const string_view part = t.substr(at, next == string_view::npos ? string_view::npos : next - at);
        long n = 0;
        for (size_t i = 1; i < part.size(); ++i) {
            if (part[i] == '=' || (part[i] == '&' && i + 1 < part.size() && part[i + 1] == '#'))
                ++n;
        }
        if (n > max_attributes)
            return "line " + line_at(at) + ": more than " + bound + " attributes in one element";
        // A default value is quoted; the defaults add up over all the
        // declarations.
        if (starts(part, "<!ATTLIST")) {
            defaults += static_cast<long>(std::count(part.begin(), part.end(), '"') +
                                          std::count(part.begin(), part.end(), '\'')) / 2;
            if (defaults > max_attribute_defaults)
                return "line " + line_at(at) + ": more than " + std::to_string(max_attribute_defaults) +
                       " attribute defaults declared";
        }
        at = next;
    }
    if (count_of(t, "xmlns") > static_cast<size_t>(max_attributes))
        return "more than " + bound + " namespace declarations";
    if (t.find("<!ENTITY") != string_view::npos && count_of(t, "&#") > static_cast<size_t>(max_attributes))
        return "more than " + bound + " character references in a document that declares entities";
    return std::string();
}

} // namespace

std::string refusal(const char* data, size_t size)
{
    const string_view bytes(data, size);
    if (starts(bytes, "\x4C\x6F\xA7\x94"))
        return "EBCDIC text is not read";
    std::string from = wide_encoding(bytes);
    if (from.empty()) {
        from = declared_encoding(bytes);
        if (from.empty() || g_ascii_strcasecmp(from.c_str(), "UTF-8") == 0 ||
            g_ascii_strcasecmp(from.c_str(), "UTF8") == 0)
            return scan(bytes);
    }
    // Looked at as UTF-8, in which the markup is plain bytes.
    GError* error = nullptr;
    gsize written = 0;
    gchar* text = g_convert(data, static_cast<gssize>(size), "UTF-8", from.c_str(), nullptr, &written, &error);
    if (!text) {
        const std::string why = "its text is not " + from + (error ? std::string(": ") + error->message : "");
        g_clear_error(&error);
        return why;
    }
    const std::string result = scan(string_view(text, written));
    g_free(text);
    return result;
}

} // namespace markup_check
