#include "ostrel/DAQid.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ostream>

namespace Ostrel {

DAQid::DAQid(int value) : _text(std::to_string(value)) {}

DAQid::DAQid(unsigned short value) : _text(std::to_string(value)) {}

namespace {
bool parse(const std::string& text, long& out)
{
    if (text.empty())
        return false;
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 0);
    if (end == s || *end != '\0' || errno == ERANGE)
        return false;
    out = v;
    return true;
}
} // namespace

int DAQid::to_int() const
{
    long v = 0;
    if (!parse(_text, v) || v < INT_MIN || v > INT_MAX)
        return 0;
    return static_cast<int>(v);
}

bool DAQid::is_number() const
{
    long v = 0;
    return parse(_text, v);
}

std::ostream& operator<<(std::ostream& os, const DAQid& id)
{
    return os << id.str();
}

} // namespace Ostrel
