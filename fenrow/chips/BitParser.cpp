#include "fenrow/chips/BitParser.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <map>
#include <vector>

#include "config/PathUtils.h"
#include "fenrow/chips/bitset.h"

namespace {

// A bit number: digits only, and small enough for an int.
bool read_bit(std::string text, int& out)
{
    if (text.empty() || !is_a_number(text))
        return false;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || v > INT_MAX)
        return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

bool is_a_number(std::string& text)
{
    return text.find_first_not_of("0123456789") == std::string::npos;
}

bool bit_parser(const std::string& input, bitset* bits)
{
    std::cout << "Input: " << input << std::endl;
    const int size = bits ? bits->nBits() : 0;
    std::vector<std::string> items;
    stringtok(items, input, ",");
    std::map<int, int> values;
    for (const std::string& item : items) {
        std::vector<std::string> sides;
        stringtok(sides, item, "=");
        if (sides.size() != 2) {
            std::cout << "Wrong syntax: " << item << std::endl;
            return false;
        }
        const std::string where = trim_str(sides[0]);
        std::string value = trim_str(sides[1]);
        // An empty value would read as 0 and silently clear the bits.
        if (value.empty() || !is_a_number(value) || value.find_first_not_of('0') < value.size() - 1
            || (value.back() != '0' && value.back() != '1')) {
            std::cout << "Wrong syntax: " << item << ". Value should be 0 or 1" << std::endl;
            return false;
        }
        const int v = value.back() - '0';
        std::vector<std::string> ends;
        stringtok(ends, where, "-");
        if (ends.size() > 2) {
            std::cout << "Wrong syntax: " << item << ". Wrong bit number or interval" << std::endl;
            return false;
        }
        // A dash at either end, or dashes only, leave an interval with an end
        // missing: "5-=1" must not set bit 5.
        const bool interval = where.find('-') != std::string::npos;
        if (!interval) {
            int bit = 0;
            if (!read_bit(where, bit)) {
                std::cout << "Wrong bit address: " << where << " in " << item << std::endl;
                return false;
            }
            values[bit] = v;
            continue;
        }
        int first = 0;
        int last = 0;
        if (ends.size() != 2 || where.front() == '-' || where.back() == '-' || !read_bit(ends[0], first)
            || !read_bit(ends[1], last)) {
            std::cout << "Wrong bit interval in " << item << std::endl;
            return false;
        }
        if (first > last)
            continue;
        if (last >= size) {
            std::cout << "Wrong bit interval in " << item << ". The register has " << size << " bits" << std::endl;
            return false;
        }
        for (int b = first; b <= last; ++b)
            values[b] = v;
    }
    for (const auto& bv : values) {
        std::cout << "Set(" << bv.first << "," << bv.second << ") " << std::endl;
        if (bv.first >= size)
            continue;
        if (bv.second)
            bits->Set(bv.first);
        else
            bits->Clr(bv.first);
    }
    return true;
}
