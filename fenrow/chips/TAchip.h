// Front-end chip configuration registers. A chip is a bit vector of its
// type's register length (32-bit slots) with named accessors for the
// register's fields and its per-channel fields. Every chip type describes its
// register by one layout table (field positions, widths and bit order); the
// accessors below read and write through it, so a field a type does not have
// is ignored when written and reads as 0.
//
// Per-channel accessors ignore channels outside 0 .. Nchan() − 1.
#ifndef BRISKO_FENROW_CHIPS_TACHIP_H
#define BRISKO_FENROW_CHIPS_TACHIP_H

#include <iosfwd>
#include <string>

#include "fenrow/chips/bitset.h"

struct ChipLayout;

class TAchip : public bitset {
public:
    // Longest channel count a register may be sized for.
    static constexpr int max_channels = 1024;

    TAchip(const TAchip& other) = default;
    // Copies the channel count and the register; the chip keeps its type.
    TAchip& operator=(const TAchip& other);
    virtual ~TAchip() = default;

    virtual TAchip* test(int ch, bool on);
    virtual TAchip* mask(int ch, bool on);
    virtual TAchip* trim(int ch, int value);
    virtual TAchip* Polarity(bool on);
    virtual TAchip* EnableGain(bool on);
    virtual TAchip* SetGain(int value);
    virtual TAchip* Test(bool on);
    // Sets the channel count and gives the register its type's length, all
    // bits cleared. False, and nothing changed, for a count outside
    // 0 .. max_channels. A fixed-size chip keeps its own channel count.
    virtual bool Resize(int nchan);

    virtual bool test(int ch) const;
    virtual bool mask(int ch) const;
    virtual int trim(int ch) const;
    virtual bool Polarity() const;
    virtual bool GainEnabled() const;
    virtual int Gain() const;
    virtual bool Test() const;
    virtual bool Probe_Enable() const;
    virtual bool CC_Enable() const;
    virtual bool N_side() const;
    virtual int Chip_Address() const;
    virtual TAchip* Probe_Enable(bool on);
    virtual TAchip* CC_Enable(bool on);
    virtual TAchip* N_side(bool on);
    virtual TAchip* Chip_Address(int value);

    virtual TAchip* Vrc(bool on);
    virtual bool Vrc() const;
    virtual TAchip* Vfsf(bool on);
    virtual bool Vfsf() const;
    virtual TAchip* Vfss(bool on);
    virtual bool Vfss() const;
    virtual TAchip* Vfp(bool on);
    virtual bool Vfp() const;
    virtual TAchip* dac_range(bool on);
    virtual bool dac_range() const;
    virtual TAchip* thrs_dac(int value);
    virtual int thrs_dac() const;
    virtual TAchip* calib_gen(bool on);
    virtual bool calib_gen() const;
    virtual TAchip* calib_ctrl(bool on);
    virtual bool calib_ctrl() const;
    virtual TAchip* calib_dac(int value);
    virtual int calib_dac() const;
    virtual TAchip* vrc_neg(bool on);
    virtual bool vrc_neg() const;
    virtual TAchip* slew(bool on);
    virtual bool slew() const;
    virtual TAchip* dltc(bool on);
    virtual bool dltc() const;
    virtual TAchip* test_channel(bool on);
    virtual bool test_channel() const;
    virtual TAchip* bypass_hold(bool on);
    virtual bool bypass_hold() const;
    virtual TAchip* enable_preampDAC(bool on);
    virtual bool enable_preampDAC() const;
    virtual TAchip* preampDAC(int ch, int value);
    virtual int preampDAC(int ch) const;

    // Diagnostic dump: channel count, bits, fields, channel blocks.
    virtual void print(std::ostream& os) const;

    int Nchan() const { return _nchan; }

    // The chip's lines of the chip-set text: the channel count, then one
    // unsigned decimal line per 32-bit slot.
    void save(std::ostream& os) const;
    // Reads those lines. A text that ends early, holds anything but unsigned
    // decimal numbers, or gives another channel count than the chip's is
    // refused: false, the reason in *why, and the chip unchanged. Slot values
    // keep only the bits the register has.
    bool load(std::istream& is, std::string* why = nullptr);

protected:
    TAchip(int nchan, const ChipLayout& layout);

private:
    // Named field access through the layout; see TAchip.cpp.
    int get(int field) const;
    TAchip* put(int field, int value);
    int chan_pos(int kind, int ch) const;
    int get_chan(int kind, int ch) const;
    TAchip* put_chan(int kind, int ch, int value);

    const ChipLayout* _layout;
    int _nchan = 0;
};

std::ostream& operator<<(std::ostream& os, const TAchip& chip);

namespace chip_text {
// Reads one white-space separated token that must be an unsigned decimal
// number fitting an unsigned long; false (value untouched) otherwise.
bool read_unsigned(std::istream& is, unsigned long& value);
} // namespace chip_text

// "ta32": 32 channels, 5 × channels + 5 bits.
class TA32chip : public TAchip {
public:
    explicit TA32chip(int nchan = 32);
};

// "gp": 128 channels, 5 × channels + 17 bits.
class GPchip : public TAchip {
public:
    explicit GPchip(int nchan = 128);
};

// "gp3": 128 channels, 5 × channels + 11 bits.
class GP3chip : public TAchip {
public:
    explicit GP3chip(int nchan = 128);

protected:
    GP3chip(int nchan, const ChipLayout& layout);
};

// "gp3p": the gp3 register without gain, 5 × channels + nHeader bits.
class GP3pchip : public GP3chip {
public:
    static constexpr int nHeader = 9;
    explicit GP3pchip(int nchan = 128);
};

// "gp5": 778 bits whatever the channel count.
class GP5chip : public TAchip {
public:
    explicit GP5chip(int nchan = 128);
};

// "gp7", "gp7_1" and "gp8": 926 bits whatever the channel count.
class GP7chip : public TAchip {
public:
    explicit GP7chip(int nchan = 128);
};

// "hdr": always 64 channels, 873 bits.
class HDR64chip : public TAchip {
public:
    explicit HDR64chip(int nchan = 64);
};

#endif
