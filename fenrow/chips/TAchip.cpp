#include "fenrow/chips/TAchip.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <vector>

namespace {

// Register fields reached by name.
enum FieldId {
    F_Test,
    F_Polarity,
    F_GainEnable,
    F_Gain,
    F_ProbeEnable,
    F_CCEnable,
    F_NSide,
    F_ChipAddress,
    F_Vrc,
    F_Vfsf,
    F_Vfss,
    F_Vfp,
    F_DacRange,
    F_ThrsDac,
    F_CalibGen,
    F_CalibCtrl,
    F_CalibDac,
    F_VrcNeg,
    F_Slew,
    F_Dltc,
    F_TestChannel,
    F_BypassHold,
    F_EnablePreampDAC,
    F_Count
};

// Per-channel fields.
enum ChanKind { C_Mask, C_Trim, C_Test, C_PreampDAC, C_Count };

enum Order { lsb_first, msb_first };

} // namespace

struct ChipLayout {
    struct Field {
        int pos = -1;   // absent when negative
        int width = 1;
        Order order = lsb_first;
        bool inverted = false;   // a 1-bit field that is set when "off"
    };
    struct ChanField {
        // fixed: bit base + per_nchan · channels + stride · ch;
        // from_end: bit nBits() − channels − 1 + ch.
        enum Place { absent, fixed, from_end } place = absent;
        int base = 0;
        int per_nchan = 0;
        int stride = 1;
        int width = 1;
        Order order = lsb_first;
    };
    struct PrintLine {
        const char* label;
        int (*value)(const TAchip&);   // null: the label alone
    };

    // Register length: fixed_bits when set, else bits_per_chan · channels +
    // header_bits.
    int fixed_bits = 0;
    int bits_per_chan = 5;
    int header_bits = 0;
    // A chip whose channel count never changes (0: any count).
    int fixed_nchan = 0;
    // Channels the fixed-size register has room for (0: any count).
    int room_nchan = 0;
    Field fields[F_Count];
    ChanField chan[C_Count];
    std::vector<PrintLine> print_lines;

    ChipLayout& bit(FieldId f, int pos, bool inverted = false)
    {
        fields[f].pos = pos;
        fields[f].inverted = inverted;
        return *this;
    }
    ChipLayout& field(FieldId f, int pos, int width, Order order)
    {
        fields[f].pos = pos;
        fields[f].width = width;
        fields[f].order = order;
        return *this;
    }
    ChipLayout& channel(ChanKind k, int base, int per_nchan, int stride, int width, Order order)
    {
        chan[k] = ChanField{ChanField::fixed, base, per_nchan, stride, width, order};
        return *this;
    }
    ChipLayout& test_from_end()
    {
        chan[C_Test].place = ChanField::from_end;
        return *this;
    }
};

namespace {

using PrintLine = ChipLayout::PrintLine;

int p_test(const TAchip& c) { return c.Test(); }
int p_polarity(const TAchip& c) { return c.Polarity(); }
int p_gain_enabled(const TAchip& c) { return c.GainEnabled(); }
int p_gain(const TAchip& c) { return c.Gain(); }
int p_cc(const TAchip& c) { return c.CC_Enable(); }
int p_nside(const TAchip& c) { return c.N_side(); }
int p_address(const TAchip& c) { return c.Chip_Address(); }

ChipLayout make_ta32()
{
    ChipLayout l;
    l.header_bits = 5;
    l.bit(F_Test, 0).field(F_Gain, 1, 2, lsb_first).bit(F_GainEnable, 3, true).bit(F_Polarity, 4);
    l.channel(C_Mask, 5, 0, 1, 1, lsb_first).channel(C_Trim, 5, 1, 3, 3, msb_first).test_from_end();
    l.print_lines = {{"Test       ", p_test},
                     {"Polarity   ", p_polarity},
                     {"G. Enabled ", p_gain_enabled},
                     {"Gain       ", p_gain}};
    return l;
}

ChipLayout make_gp()
{
    ChipLayout l;
    l.header_bits = 17;
    l.bit(F_CCEnable, 0).bit(F_NSide, 1).bit(F_Test, 2).bit(F_Polarity, 3).bit(F_GainEnable, 4);
    l.field(F_Gain, 5, 2, lsb_first).bit(F_ProbeEnable, 7).field(F_ChipAddress, 8, 9, msb_first);
    l.channel(C_Trim, 17, 0, 3, 3, msb_first).channel(C_Mask, 17, 3, 1, 1, lsb_first).test_from_end();
    l.print_lines = make_ta32().print_lines;
    return l;
}

// The gp3 family: the header up to the polarity is shared, the rest differs.
std::vector<PrintLine> gp3_print_lines(bool gain_enable)
{
    std::vector<PrintLine> lines = {
        {"Curr. Comp. ", p_cc}, {"N side      ", p_nside}, {"Test        ", p_test}, {"Polarity    ", p_polarity}};
    if (gain_enable)
        lines.push_back({"G. Enabled  ", p_gain_enabled});
    lines.push_back({"Gain        ", p_gain});
    lines.push_back({"Chip Add.   ", p_address});
    return lines;
}

ChipLayout gp3_head()
{
    ChipLayout l;
    l.bit(F_CCEnable, 0).bit(F_NSide, 1).bit(F_Test, 2).bit(F_Polarity, 3);
    return l;
}

ChipLayout make_gp3()
{
    ChipLayout l = gp3_head();
    l.header_bits = 11;
    l.bit(F_GainEnable, 4).field(F_Gain, 5, 2, lsb_first).field(F_ChipAddress, 7, 4, msb_first);
    l.channel(C_Mask, 11, 0, 1, 1, lsb_first).channel(C_Trim, 11, 1, 3, 3, msb_first).test_from_end();
    l.print_lines = gp3_print_lines(true);
    return l;
}

ChipLayout make_gp3p()
{
    const int h = GP3pchip::nHeader;
    ChipLayout l = gp3_head();
    l.header_bits = h;
    l.field(F_ChipAddress, 5, 4, msb_first);
    l.channel(C_Mask, h, 0, 1, 1, lsb_first).channel(C_Trim, h, 1, 3, 3, msb_first).test_from_end();
    l.print_lines = gp3_print_lines(true);
    return l;
}

ChipLayout make_gp5()
{
    ChipLayout l = gp3_head();
    l.fixed_bits = 778;
    l.room_nchan = 128;
    l.field(F_Gain, 4, 2, lsb_first).field(F_ChipAddress, 6, 4, msb_first).test_from_end();
    l.print_lines = gp3_print_lines(false);
    return l;
}

ChipLayout make_gp7()
{
    ChipLayout l;
    l.fixed_bits = 926;
    l.room_nchan = 128;
    l.bit(F_Vrc, 0).bit(F_Vfsf, 1).bit(F_Vfss, 2).bit(F_Vfp, 3);
    l.bit(F_CCEnable, 4).bit(F_NSide, 5).bit(F_Test, 6).bit(F_Polarity, 7);
    l.field(F_ChipAddress, 8, 4, msb_first);
    l.bit(F_CalibGen, 12).bit(F_CalibCtrl, 13).bit(F_VrcNeg, 14);
    l.bit(F_Slew, 16).bit(F_DacRange, 17).bit(F_Dltc, 18);
    l.channel(C_Mask, 19, 0, 1, 1, lsb_first).channel(C_Trim, 147, 0, 4, 4, msb_first);
    // One register bit serves both names.
    l.bit(F_TestChannel, 659).bit(F_ProbeEnable, 659);
    l.channel(C_Test, 660, 0, 1, 1, lsb_first);
    l.field(F_ThrsDac, 917, 5, msb_first).field(F_CalibDac, 922, 4, msb_first);
    l.print_lines = {
        {"Chip Add.   ", p_address},
        {"Curr. Comp. ", p_cc},
        {"N side      ", p_nside},
        {"Test        ", p_test},
        {"Polarity    ", p_polarity},
        {"Probe en.   ", [](const TAchip& c) -> int { return c.Probe_Enable(); }},
        {"Vrc select  ", [](const TAchip& c) -> int { return c.Vrc(); }},
        {"Vfsf select ", [](const TAchip& c) -> int { return c.Vfsf(); }},
        {"Vfss select ", [](const TAchip& c) -> int { return c.Vfss(); }},
        {"Vfp select  ", [](const TAchip& c) -> int { return c.Vfp(); }},
        {"Calib gen   ", [](const TAchip& c) -> int { return c.calib_gen(); }},
        {"Calib ctrl  ", [](const TAchip& c) -> int { return c.calib_ctrl(); }},
        {"Calib DAC   ", [](const TAchip& c) -> int { return c.calib_dac(); }},
        {"Slew        ", [](const TAchip& c) -> int { return c.slew(); }},
        {"dltc        ", [](const TAchip& c) -> int { return c.dltc(); }},
        {"DAC range   ", [](const TAchip& c) -> int { return c.dac_range(); }},
        {"Thrs. DAC   ", [](const TAchip& c) -> int { return c.thrs_dac(); }},
        {"", nullptr},
    };
    return l;
}

ChipLayout make_hdr()
{
    ChipLayout l;
    l.fixed_bits = 873;
    l.fixed_nchan = 64;
    l.room_nchan = 64;
    l.bit(F_EnablePreampDAC, 0).bit(F_GainEnable, 1).bit(F_BypassHold, 11).bit(F_Polarity, 12);
    l.bit(F_NSide, 18).bit(F_Test, 19);
    l.channel(C_Mask, 24, 0, 1, 1, lsb_first).channel(C_Trim, 89, 0, 4, 4, msb_first);
    l.channel(C_PreampDAC, 349, 0, 8, 8, msb_first);
    l.print_lines = {{"Chip HDR: preampDAC[0] ", [](const TAchip& c) { return c.preampDAC(0); }}};
    return l;
}

// One layout per chip type, built on first use.
template <ChipLayout (*make)()>
const ChipLayout& layout_of()
{
    static const ChipLayout l = make();
    return l;
}

} // namespace

namespace chip_text {

bool read_unsigned(std::istream& is, unsigned long& value)
{
    std::string token;
    if (!(is >> token))
        return false;
    if (token.empty() || !std::all_of(token.begin(), token.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    errno = 0;
    const unsigned long long v = std::strtoull(token.c_str(), nullptr, 10);
    if (errno == ERANGE || v > static_cast<unsigned long long>(~0UL))
        return false;
    value = static_cast<unsigned long>(v);
    return true;
}

} // namespace chip_text

// ---- TAchip -------------------------------------------------------------

TAchip::TAchip(int nchan, const ChipLayout& layout) : bitset(0, 32), _layout(&layout)
{
    if (!Resize(nchan))
        Resize(std::min(std::max(nchan, 0), max_channels));
}

TAchip& TAchip::operator=(const TAchip& other)
{
    if (this != &other) {
        bitset::operator=(other);
        _nchan = other._nchan;
    }
    return *this;
}

bool TAchip::Resize(int nchan)
{
    if (_layout->fixed_nchan > 0)
        nchan = _layout->fixed_nchan;
    if (nchan < 0 || nchan > max_channels)
        return false;
    _nchan = nchan;
    const int bits = _layout->fixed_bits > 0 ? _layout->fixed_bits
                                             : _layout->bits_per_chan * nchan + _layout->header_bits;
    new_size(bits, 32);
    return true;
}

int TAchip::get(int field) const
{
    const ChipLayout::Field& f = _layout->fields[field];
    if (f.pos < 0)
        return 0;
    const int v = static_cast<int>(f.order == msb_first ? ByteR(f.pos, f.width) : Byte(f.pos, f.width));
    return f.inverted ? !v : v;
}

TAchip* TAchip::put(int field, int value)
{
    const ChipLayout::Field& f = _layout->fields[field];
    if (f.pos < 0)
        return this;
    if (f.inverted)
        value = !value;
    if (f.order == msb_first)
        SetR(value, f.pos, f.width);
    else
        Set(value, f.pos, f.width);
    return this;
}

int TAchip::chan_pos(int kind, int ch) const
{
    const ChipLayout::ChanField& f = _layout->chan[kind];
    const int room = _layout->room_nchan > 0 ? std::min(_nchan, _layout->room_nchan) : _nchan;
    if (ch < 0 || ch >= room)
        return -1;
    switch (f.place) {
    case ChipLayout::ChanField::fixed:
        return f.base + f.per_nchan * _nchan + f.stride * ch;
    case ChipLayout::ChanField::from_end:
        return nBits() - _nchan - 1 + ch;
    default:
        return -1;
    }
}

int TAchip::get_chan(int kind, int ch) const
{
    const int pos = chan_pos(kind, ch);
    if (pos < 0)
        return 0;
    const ChipLayout::ChanField& f = _layout->chan[kind];
    return static_cast<int>(f.order == msb_first ? ByteR(pos, f.width) : Byte(pos, f.width));
}

TAchip* TAchip::put_chan(int kind, int ch, int value)
{
    const int pos = chan_pos(kind, ch);
    if (pos < 0)
        return this;
    const ChipLayout::ChanField& f = _layout->chan[kind];
    if (f.order == msb_first)
        SetR(value, pos, f.width);
    else
        Set(value, pos, f.width);
    return this;
}

TAchip* TAchip::test(int ch, bool on) { return put_chan(C_Test, ch, on); }
TAchip* TAchip::mask(int ch, bool on) { return put_chan(C_Mask, ch, on); }
TAchip* TAchip::trim(int ch, int value) { return put_chan(C_Trim, ch, value); }
TAchip* TAchip::Polarity(bool on) { return put(F_Polarity, on); }
TAchip* TAchip::EnableGain(bool on) { return put(F_GainEnable, on); }
TAchip* TAchip::SetGain(int value) { return put(F_Gain, value & 3); }
TAchip* TAchip::Test(bool on) { return put(F_Test, on); }

bool TAchip::test(int ch) const { return get_chan(C_Test, ch); }
bool TAchip::mask(int ch) const { return get_chan(C_Mask, ch); }
int TAchip::trim(int ch) const { return get_chan(C_Trim, ch); }
bool TAchip::Polarity() const { return get(F_Polarity); }
bool TAchip::GainEnabled() const { return get(F_GainEnable); }
int TAchip::Gain() const { return get(F_Gain); }
bool TAchip::Test() const { return get(F_Test); }
bool TAchip::Probe_Enable() const { return get(F_ProbeEnable); }
bool TAchip::CC_Enable() const { return get(F_CCEnable); }
bool TAchip::N_side() const { return get(F_NSide); }
int TAchip::Chip_Address() const { return get(F_ChipAddress); }
TAchip* TAchip::Probe_Enable(bool on) { return put(F_ProbeEnable, on); }
TAchip* TAchip::CC_Enable(bool on) { return put(F_CCEnable, on); }
TAchip* TAchip::N_side(bool on) { return put(F_NSide, on); }
TAchip* TAchip::Chip_Address(int value) { return put(F_ChipAddress, value); }

TAchip* TAchip::Vrc(bool on) { return put(F_Vrc, on); }
bool TAchip::Vrc() const { return get(F_Vrc); }
TAchip* TAchip::Vfsf(bool on) { return put(F_Vfsf, on); }
bool TAchip::Vfsf() const { return get(F_Vfsf); }
TAchip* TAchip::Vfss(bool on) { return put(F_Vfss, on); }
bool TAchip::Vfss() const { return get(F_Vfss); }
TAchip* TAchip::Vfp(bool on) { return put(F_Vfp, on); }
bool TAchip::Vfp() const { return get(F_Vfp); }
TAchip* TAchip::dac_range(bool on) { return put(F_DacRange, on); }
bool TAchip::dac_range() const { return get(F_DacRange); }
TAchip* TAchip::thrs_dac(int value) { return put(F_ThrsDac, value); }
int TAchip::thrs_dac() const { return get(F_ThrsDac); }
TAchip* TAchip::calib_gen(bool on) { return put(F_CalibGen, on); }
bool TAchip::calib_gen() const { return get(F_CalibGen); }
TAchip* TAchip::calib_ctrl(bool on) { return put(F_CalibCtrl, on); }
bool TAchip::calib_ctrl() const { return get(F_CalibCtrl); }
TAchip* TAchip::calib_dac(int value) { return put(F_CalibDac, value); }
int TAchip::calib_dac() const { return get(F_CalibDac); }
TAchip* TAchip::vrc_neg(bool on) { return put(F_VrcNeg, on); }
bool TAchip::vrc_neg() const { return get(F_VrcNeg); }
TAchip* TAchip::slew(bool on) { return put(F_Slew, on); }
bool TAchip::slew() const { return get(F_Slew); }
TAchip* TAchip::dltc(bool on) { return put(F_Dltc, on); }
bool TAchip::dltc() const { return get(F_Dltc); }
TAchip* TAchip::test_channel(bool on) { return put(F_TestChannel, on); }
bool TAchip::test_channel() const { return get(F_TestChannel); }
TAchip* TAchip::bypass_hold(bool on) { return put(F_BypassHold, on); }
bool TAchip::bypass_hold() const { return get(F_BypassHold); }
TAchip* TAchip::enable_preampDAC(bool on) { return put(F_EnablePreampDAC, on); }
bool TAchip::enable_preampDAC() const { return get(F_EnablePreampDAC); }
TAchip* TAchip::preampDAC(int ch, int value) { return put_chan(C_PreampDAC, ch, value); }
int TAchip::preampDAC(int ch) const { return get_chan(C_PreampDAC, ch); }

void TAchip::print(std::ostream& os) const
{
    os << "Number of channels " << _nchan << '\n';
    os << "Bit dump ";
    prt(os);
    os << '\n';
    for (const ChipLayout::PrintLine& line : _layout->print_lines) {
        os << line.label;
        if (line.value)
            os << line.value(*this);
        os << '\n';
    }
    os << "Mask ";
    for (int ch = 0; ch < _nchan; ++ch)
        os << (mask(ch) ? '1' : '0');
    os << '\n' << "Test ";
    for (int ch = 0; ch < _nchan; ++ch)
        os << (test(ch) ? '1' : '0');
    os << '\n' << "Trim ";
    for (int ch = 0; ch < _nchan; ++ch)
        os << (ch ? " " : "") << trim(ch);
    os << '\n';
}

std::ostream& operator<<(std::ostream& os, const TAchip& chip)
{
    chip.print(os);
    return os;
}

void TAchip::save(std::ostream& os) const
{
    os << _nchan << '\n';
    for (int i = 0; i < nWords(); ++i)
        os << Word(i) << '\n';
}

bool TAchip::load(std::istream& is, std::string* why)
{
    auto refuse = [why](const std::string& reason) {
        if (why)
            *why = reason;
        return false;
    };
    unsigned long nchan = 0;
    if (!chip_text::read_unsigned(is, nchan))
        return refuse("the channel count is missing or not a number");
    if (nchan != static_cast<unsigned long>(_nchan))
        return refuse(std::to_string(nchan) + " channels given, the chip has " + std::to_string(_nchan));
    std::vector<unsigned long> words(nWords());
    for (int i = 0; i < nWords(); ++i) {
        if (!chip_text::read_unsigned(is, words[i]))
            return refuse("register word " + std::to_string(i + 1) + " of " + std::to_string(nWords()) +
                          " is missing or not an unsigned number");
    }
    Reset(words.data());
    return true;
}

// ---- chip types ---------------------------------------------------------

TA32chip::TA32chip(int nchan) : TAchip(nchan, layout_of<make_ta32>()) {}
GPchip::GPchip(int nchan) : TAchip(nchan, layout_of<make_gp>()) {}
GP3chip::GP3chip(int nchan) : TAchip(nchan, layout_of<make_gp3>()) {}
GP3chip::GP3chip(int nchan, const ChipLayout& layout) : TAchip(nchan, layout) {}
GP3pchip::GP3pchip(int nchan) : GP3chip(nchan, layout_of<make_gp3p>()) {}
GP5chip::GP5chip(int nchan) : TAchip(nchan, layout_of<make_gp5>()) {}
GP7chip::GP7chip(int nchan) : TAchip(nchan, layout_of<make_gp7>()) {}
HDR64chip::HDR64chip(int nchan) : TAchip(nchan, layout_of<make_hdr>()) {}
