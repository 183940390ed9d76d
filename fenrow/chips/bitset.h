// A variable-length bit vector: the storage under every front-end chip
// register. Bit i lives in slot i / width at bit i % width of that slot (bit 0
// of a slot is its least significant bit). Chip registers use 32-bit slots,
// the concatenated register of a chip set 16-bit slots.
//
// Single bits outside 0 .. nBits() − 1 are ignored (read as 0); field
// operations stop at the last bit. No bit at or beyond nBits(), and no slot
// bit at or above the width, is ever set.
#ifndef BRISKO_FENROW_CHIPS_BITSET_H
#define BRISKO_FENROW_CHIPS_BITSET_H

#include <iosfwd>
#include <vector>

class bitset {
public:
    // nbits zeroed bits in slots of `width` bits (1 to 64).
    bitset(int nbits, int width);
    // Width 64; the slots in use are copied from `words`.
    bitset(int nbits, const unsigned long* words);
    // Width 64; contents from the text form (see BitStr).
    bitset(int nbits, const char* text);
    bitset(const bitset& other);
    bitset& operator=(const bitset& other);
    ~bitset() = default;

    // Drops all contents: nbits zeroed bits of the given width.
    void new_size(int nbits, int width);

    int nBits() const { return _nbits; }
    int nWords() const { return _nwords; }
    int width() const { return _width; }

    // Single bits.
    int Bit(int i) const;
    int operator[](int i) const { return Bit(i); }
    bitset& Set(int i);
    bitset& Clr(int i);

    // Fields of up to 32 bits. Set/Byte keep the value's bit 0 at `pos`;
    // SetR/ByteR keep its highest bit there (most significant bit first).
    bitset& Set(int value, int pos, int n);
    unsigned long Byte(int pos, int n) const;
    bitset& SetR(int value, int pos, int n);
    unsigned long ByteR(int pos, int n) const;
    // The n low bits of value in reverse order.
    static int byte_reverse(int value, int n);

    // Whole slots. Index outside the allocated slots: 0 / ignored. A stored
    // value keeps only the bits that exist in that slot.
    unsigned long Word(int i) const;
    bitset& Word(int i, unsigned long v);
    bitset& AllZero();
    bitset& operator!() { return AllZero(); }
    bitset& Reset(const unsigned long* words);

    // Text form: '1' and '0' set and clear the next bit, "<N>" repeats the
    // previous character ('1' gives ones, anything else zeros) N more times,
    // any other character leaves the next bit 0. A malformed repeat group
    // ends the text there (with a warning in the log).
    bitset& BitStr(int nbits, const char* text);

    // "Number of bits N", a newline, then '1'/'0' per bit from bit 0.
    void prt(std::ostream& os) const;
    // Bits pos .. pos + n − 1 on standard output.
    void Print(int pos, int n) const;
    // Sizes and slots in hexadecimal on standard output.
    void Dump() const;

private:
    // The bits of slot i that belong to the vector.
    unsigned long slot_mask(int i) const;
    void set_bit(int i, bool on);

    std::vector<unsigned long> _slots;   // size() is the slots allocated
    int _nbits = 0;
    int _width = 64;
    int _nwords = 0;                     // slots in use
};

std::ostream& operator<<(std::ostream& os, const bitset& b);

#endif
