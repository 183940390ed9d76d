#include "fenrow/chips/bitset.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <iostream>

#include "ostrel/Log.h"

namespace {

int clamp_width(int width)
{
    return std::min(64, std::max(1, width));
}

int slots_for(int nbits, int width)
{
    return (nbits + width - 1) / width;
}

} // namespace

bitset::bitset(int nbits, int width)
{
    new_size(nbits, width);
}

bitset::bitset(int nbits, const unsigned long* words)
{
    new_size(nbits, 64);
    Reset(words);
}

bitset::bitset(int nbits, const char* text)
{
    new_size(0, 64);
    BitStr(nbits, text);
}

bitset::bitset(const bitset& other)
    : _slots(other._slots.begin(), other._slots.begin() + other._nwords),
      _nbits(other._nbits),
      _width(other._width),
      _nwords(other._nwords)
{
}

bitset& bitset::operator=(const bitset& other)
{
    if (this == &other)
        return *this;
    _nbits = other._nbits;
    _width = other._width;
    _nwords = other._nwords;
    if (static_cast<size_t>(_nwords) > _slots.size())
        std::vector<unsigned long>(_nwords).swap(_slots);
    std::copy(other._slots.begin(), other._slots.begin() + _nwords, _slots.begin());
    // Slots kept from a longer vector must not show through Word().
    std::fill(_slots.begin() + _nwords, _slots.end(), 0UL);
    return *this;
}

void bitset::new_size(int nbits, int width)
{
    _nbits = std::max(0, nbits);
    _width = clamp_width(width);
    _nwords = slots_for(_nbits, _width);
    std::vector<unsigned long>(_nwords, 0UL).swap(_slots);
}

unsigned long bitset::slot_mask(int i) const
{
    const long long first = static_cast<long long>(i) * _width;
    if (i < 0 || first >= _nbits)
        return 0;
    const int used = static_cast<int>(std::min<long long>(_width, _nbits - first));
    return used >= 64 ? ~0UL : (1UL << used) - 1;
}

int bitset::Bit(int i) const
{
    if (i < 0 || i >= _nbits)
        return 0;
    return (_slots[i / _width] >> (i % _width)) & 1UL ? 1 : 0;
}

void bitset::set_bit(int i, bool on)
{
    if (i < 0 || i >= _nbits)
        return;
    const unsigned long bit = 1UL << (i % _width);
    if (on)
        _slots[i / _width] |= bit;
    else
        _slots[i / _width] &= ~bit;
}

bitset& bitset::Set(int i)
{
    set_bit(i, true);
    return *this;
}

bitset& bitset::Clr(int i)
{
    set_bit(i, false);
    return *this;
}

bitset& bitset::Set(int value, int pos, int n)
{
    const unsigned int v = static_cast<unsigned int>(value);
    n = std::min(n, 32);
    for (int k = 0; k < n && pos + k < _nbits; ++k)
        set_bit(pos + k, (v >> k) & 1U);
    return *this;
}

unsigned long bitset::Byte(int pos, int n) const
{
    n = std::min({n, _nbits, 64});
    unsigned long r = 0;
    for (int k = 0; k < n && pos + k < _nbits; ++k) {
        if (Bit(pos + k))
            r |= 1UL << k;
    }
    return r;
}

int bitset::byte_reverse(int value, int n)
{
    n = std::min(std::max(n, 0), 32);
    const unsigned int v = static_cast<unsigned int>(value);
    unsigned int r = 0;
    for (int k = 0; k < n; ++k) {
        if ((v >> k) & 1U)
            r |= 1U << (n - 1 - k);
    }
    return static_cast<int>(r);
}

bitset& bitset::SetR(int value, int pos, int n)
{
    return Set(byte_reverse(value, n), pos, n);
}

unsigned long bitset::ByteR(int pos, int n) const
{
    return static_cast<unsigned int>(byte_reverse(static_cast<int>(Byte(pos, n)), n));
}

unsigned long bitset::Word(int i) const
{
    if (i < 0 || static_cast<size_t>(i) >= _slots.size())
        return 0;
    return _slots[i];
}

bitset& bitset::Word(int i, unsigned long v)
{
    if (i >= 0 && static_cast<size_t>(i) < _slots.size())
        _slots[i] = v & slot_mask(i);
    return *this;
}

bitset& bitset::AllZero()
{
    std::fill(_slots.begin(), _slots.begin() + _nwords, 0UL);
    return *this;
}

bitset& bitset::Reset(const unsigned long* words)
{
    for (int i = 0; words && i < _nwords; ++i)
        Word(i, words[i]);
    return *this;
}

bitset& bitset::BitStr(int nbits, const char* text)
{
    nbits = std::max(0, nbits);
    const int needed = slots_for(nbits, _width);
    if (static_cast<size_t>(needed) > _slots.size())
        std::vector<unsigned long>(needed).swap(_slots);
    _nwords = needed;
    _nbits = nbits;
    std::fill(_slots.begin(), _slots.end(), 0UL);
    if (!text)
        return *this;

    int index = 0;
    char prev = '0';
    const char* p = text;
    while (*p && index < _nbits) {
        if (*p == '<') {
            const char* q = p + 1;
            long long count = 0;
            bool digits = false;
            // Count past the bits left is as good as the bits left: the
            // repeat never loops longer than the vector.
            while (std::isdigit(static_cast<unsigned char>(*q))) {
                count = std::min<long long>(count * 10 + (*q - '0'), _nbits);
                digits = true;
                ++q;
            }
            if (!digits || *q != '>') {
                Ostrel::ostream log(Ostrel::LOG_WARNING);
                log << "bitset: malformed repeat group at character " << (p - text) << " of \"" << text
                    << "\"; the rest is ignored" << std::endl;
                break;
            }
            const int end = static_cast<int>(std::min<long long>(_nbits, index + count));
            for (; index < end; ++index)
                set_bit(index, prev == '1');
            p = q;   // at '>'
        } else {
            if (*p == '1')
                set_bit(index, true);
            ++index;
        }
        prev = *p;
        ++p;
    }
    return *this;
}

void bitset::prt(std::ostream& os) const
{
    os << "Number of bits " << _nbits << std::endl;
    for (int i = 0; i < _nbits; ++i)
        os << (Bit(i) ? '1' : '0');
}

std::ostream& operator<<(std::ostream& os, const bitset& b)
{
    b.prt(os);
    return os;
}

void bitset::Print(int pos, int n) const
{
    n = std::min(n, _nbits);
    for (int k = 0; k < n && pos + k < _nbits; ++k)
        std::cout << (Bit(pos + k) ? '1' : '0');
    std::cout << std::endl;
}

void bitset::Dump() const
{
    std::cout << "Number of bits : " << _nbits << std::endl;
    std::cout << "Number of slots: " << _nwords << std::endl;
    std::cout << "Size of slot     " << _width << " bits " << std::endl;
    std::cout << std::hex;
    for (int i = 0; i < _nwords; ++i)
        std::cout << std::setw(8) << _slots[i];
    std::cout << std::dec << std::endl;
}
