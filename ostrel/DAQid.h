// Identifiers of modules and run managers.
#ifndef OSTREL_DAQID_H
#define OSTREL_DAQID_H

#include <iosfwd>
#include <string>

namespace Ostrel {

// An identifier is a text. Numbers become their decimal text; the integer
// value of an identifier reads the text as C's strtol does in base 0
// (decimal, 0x hexadecimal, leading-0 octal) and is 0 when the text is not
// a number as a whole.
class DAQid {
public:
    DAQid() = default;
    DAQid(const std::string& text) : _text(text) {}
    DAQid(const char* text) : _text(text ? text : "") {}
    DAQid(int value);
    DAQid(unsigned short value);

    const std::string& str() const { return _text; }
    const std::string& operator()() const { return _text; }
    operator const std::string&() const { return _text; }
    const char* c_str() const { return _text.c_str(); }

    int to_int() const;
    unsigned short to_ushort() const { return static_cast<unsigned short>(to_int()); }
    // True when the whole text is a number in the sense of to_int().
    bool is_number() const;

    bool operator<(const DAQid& o) const { return _text < o._text; }
    bool operator==(const DAQid& o) const { return _text == o._text; }
    bool operator!=(const DAQid& o) const { return _text != o._text; }

private:
    std::string _text;
};

std::ostream& operator<<(std::ostream& os, const DAQid& id);

} // namespace Ostrel

#endif
