#include "fenrow/chips/TAmanager.h"

#include <algorithm>
#include <istream>
#include <ostream>

#include "ostrel/Log.h"

namespace {

const char* const chip_names[] = {"ta32", "gp", "gp3", "gp3p", "gp5", "gp7", "gp7_1", "hdr", "gp8"};
const int n_chip_names = sizeof(chip_names) / sizeof(chip_names[0]);

// Channels per chip of a type; 0 for a type without chips.
int channels_of(TAmanager::ChipType type)
{
    switch (type) {
    case TAmanager::ta32:
        return 32;
    case TAmanager::hdr:
        return 64;
    case TAmanager::gp:
    case TAmanager::gp3:
    case TAmanager::gp3p:
    case TAmanager::gp5:
    case TAmanager::gp7:
    case TAmanager::gp7_1:
    case TAmanager::gp8:
        return 128;
    default:
        return 0;
    }
}

std::unique_ptr<TAchip> make_chip(TAmanager::ChipType type, int nchan)
{
    switch (type) {
    case TAmanager::ta32:
        return std::make_unique<TA32chip>(nchan);
    case TAmanager::gp:
        return std::make_unique<GPchip>(nchan);
    case TAmanager::gp3:
        return std::make_unique<GP3chip>(nchan);
    case TAmanager::gp3p:
        return std::make_unique<GP3pchip>(nchan);
    case TAmanager::gp5:
        return std::make_unique<GP5chip>(nchan);
    case TAmanager::gp7:
    case TAmanager::gp7_1:
    case TAmanager::gp8:
        return std::make_unique<GP7chip>(nchan);
    case TAmanager::hdr:
        return std::make_unique<HDR64chip>(nchan);
    default:
        return nullptr;
    }
}

} // namespace

TAmanager::TAmanager(ChipType type, int nchip) : _type(type)
{
    if (!Resize(nchip))
        Resize(std::min(std::max(nchip, 0), max_chips));
}

TAmanager::TAmanager(const TAmanager& other) : _nchan(other._nchan), _type(other._type)
{
    Resize(other._nchip);
    for (size_t i = 0; i < _chips.size() && i < other._chips.size(); ++i)
        *_chips[i] = *other._chips[i];
}

TAmanager& TAmanager::operator=(const TAmanager& other)
{
    if (this == &other)
        return *this;
    _vector.reset();
    _type = other._type;
    _nchan = other._nchan;
    Resize(other._nchip);
    for (size_t i = 0; i < _chips.size() && i < other._chips.size(); ++i)
        *_chips[i] = *other._chips[i];
    return *this;
}

TAmanager::~TAmanager() = default;

bool TAmanager::Resize(int nchip)
{
    if (nchip < 0 || nchip > max_chips)
        return false;
    _nchip = nchip;
    _chips.clear();
    const int nchan = channels_of(_type);
    if (nchan == 0)
        return true;
    _nchan = nchan;
    _chips.reserve(nchip);
    for (int i = 0; i < nchip; ++i)
        _chips.push_back(make_chip(_type, nchan));
    return true;
}

void TAmanager::SetChipType(ChipType type)
{
    _type = type;
    Resize(_nchip);
}

int TAmanager::Nchan() const
{
    return _chips.empty() ? 0 : _chips.front()->Nchan();
}

TAchip* TAmanager::chip(int i) const
{
    if (i < 0 || static_cast<size_t>(i) >= _chips.size())
        return nullptr;
    return _chips[i].get();
}

void TAmanager::mask_channel(int ch)
{
    const int n = Nchan();
    if (n == 0 || ch < 0)
        return;
    if (TAchip* c = chip(ch / n))
        c->mask(ch % n, true);
}

void TAmanager::trim_channel(int ch, int value)
{
    const int n = Nchan();
    if (n == 0 || ch < 0)
        return;
    if (TAchip* c = chip(ch / n))
        c->trim(ch % n, value);
}

void TAmanager::select_channel(int) {}
void TAmanager::select_all() {}
void TAmanager::mask_all() {}

std::string TAmanager::chip_name(ChipType type)
{
    if (type >= 0 && type < n_chip_names)
        return chip_names[type];
    return "unknown";
}

TAmanager::ChipType TAmanager::chip_type_from_name(const std::string& name)
{
    for (int i = 0; i < n_chip_names; ++i) {
        if (name == chip_names[i])
            return static_cast<ChipType>(i);
    }
    return unknown;
}

bitset* TAmanager::TAvector()
{
    if (_chips.empty())
        return nullptr;
    const int nb = _chips.front()->nBits();
    const int total = static_cast<int>(_chips.size()) * nb;
    const int slots = (total + 15) / 16;
    const int lead = slots * 16 - total;
    _vector = std::make_unique<bitset>(slots * 16, 16);
    for (size_t i = 0; i < _chips.size(); ++i) {
        const TAchip& c = *_chips[i];
        const int start = lead + static_cast<int>(i) * nb;
        for (int k = 0; k < nb; ++k) {
            if (c.Bit(k))
                _vector->Set(start + k);
        }
    }
    return _vector.get();
}

void TAmanager::save(std::ostream& os) const
{
    os << static_cast<int>(_type) << ' ' << _nchip << ' ' << _nchan << '\n';
    for (const auto& c : _chips)
        c->save(os);
}

bool TAmanager::load(std::istream& is)
{
    auto refuse = [](const std::string& reason) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Chip set text refused: " << reason << std::endl;
        return false;
    };
    unsigned long type = 0;
    unsigned long nchip = 0;
    unsigned long nchan = 0;
    if (!chip_text::read_unsigned(is, type) || !chip_text::read_unsigned(is, nchip) ||
        !chip_text::read_unsigned(is, nchan))
        return refuse("the first line must hold the chip type, the number of chips and the channels per chip");
    if (type > static_cast<unsigned long>(unknown))
        return refuse("chip type " + std::to_string(type) + " does not exist");
    if (nchip > static_cast<unsigned long>(max_chips))
        return refuse(std::to_string(nchip) + " chips are more than the " + std::to_string(max_chips) +
                      " a stream can hold");

    // Built aside, so that a text refused half-way leaves this set as it was.
    TAmanager loaded(*this);
    loaded.SetChipType(static_cast<ChipType>(type));
    loaded.Resize(static_cast<int>(nchip));
    for (size_t i = 0; i < loaded._chips.size(); ++i) {
        std::string why;
        if (!loaded._chips[i]->load(is, &why))
            return refuse("chip " + std::to_string(i) + ": " + why);
    }
    *this = loaded;
    return true;
}

std::ostream& operator<<(std::ostream& os, const TAmanager& ta)
{
    os << "Number of chips " << ta.Nchip() << std::endl;
    for (int i = 0; TAchip* c = ta.chip(i); ++i)
        os << "chip " << i << std::endl << *c << std::endl;
    return os;
}
