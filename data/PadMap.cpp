#include "data/PadMap.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <string>

#include "ostrel/Exception.h"

namespace {

// More pads or channels than any detector read by this program has; a size
// beyond it is a typing error, not a reason to allocate gigabytes.
const long long max_entries = 1LL << 24;

} // namespace

PadMap::PadMap(const char* file)
{
    read_map(file);
}

PadMap::PadMap(int nx, int ny, int ntot)
{
    allocate(nx, ny, ntot < 0 ? static_cast<long long>(nx) * ny : ntot);
}

PadMap::PadMap(int n, const int* channels, int nx, int ny)
{
    allocate(nx, ny, std::max(static_cast<long long>(nx) * ny, static_cast<long long>(n)));
    for (int i = 0; channels && i < n; ++i) {
        if (channels[i] >= 0 && channels[i] < _ntot)
            place(channels[i], i);
    }
}

void PadMap::allocate(int nx, int ny, long long ntot)
{
    if (nx < 1 || ny < 1 || ntot < 1)
        throw ConfigException("PadMap: nx, ny and ntot must be at least 1 (nx=" + std::to_string(nx) +
                              ", ny=" + std::to_string(ny) + ", ntot=" + std::to_string(ntot) + ")");
    const long long pads = static_cast<long long>(nx) * ny;
    const long long n = std::max(pads, ntot);
    if (n > max_entries)
        throw ConfigException("PadMap: " + std::to_string(n) + " pads or channels are too many");
    _nx = nx;
    _ny = ny;
    _ntot = static_cast<int>(n);
    _pad2chan.assign(_ntot, -1);
    _chan2pad.assign(_ntot, -1);
    _connected.assign(_ntot, 0);
}

void PadMap::read_map(const char* file)
{
    const std::string name = file ? file : "";
    std::ifstream in(name);
    if (!in) {
        std::cout << "**** PadMap: cannot open file " << name << std::endl;
        throw ConfigException("PadMap: cannot open file " + name);
    }
    int nx = 0;
    int ny = 0;
    if (!(in >> nx >> ny))
        throw ConfigException("PadMap: " + name + " does not start with nx and ny");

    std::vector<int> channels;
    long long largest = -1;
    bool any = false;
    int v = 0;
    while (in >> v) {
        largest = any ? std::max(largest, static_cast<long long>(v)) : v;
        any = true;
        if (v >= 0)
            channels.push_back(v);
    }
    long long ntot = static_cast<long long>(nx) * ny;
    if (largest + 1 > ntot)
        ntot = largest + 1;
    allocate(nx, ny, ntot);

    for (size_t i = 0; i < channels.size() && i < static_cast<size_t>(_ntot); ++i)
        place(channels[i], static_cast<int>(i));
}

bool PadMap::position_of(int x, int y, int& pos) const
{
    // x must stay in its row: x = nx would silently be pad (0, y + 1).
    if (x < 0 || x >= _nx || y < 0)
        return false;
    const long long p = static_cast<long long>(x) + static_cast<long long>(y) * _nx;
    if (p >= _ntot)
        return false;
    pos = static_cast<int>(p);
    return true;
}

void PadMap::pad(int chan, int& x, int& y) const
{
    x = y = NO_PAD;
    if (chan < 0 || chan >= _ntot || _chan2pad[chan] < 0)
        return;
    x = _chan2pad[chan] % _nx;
    y = _chan2pad[chan] / _nx;
}

int PadMap::channel(int x, int y) const
{
    int pos = 0;
    if (!position_of(x, y, pos) || _pad2chan[pos] < 0)
        return 0;
    return _pad2chan[pos];
}

void PadMap::set(int chan, int x, int y)
{
    int pos = 0;
    if (chan >= 0 && chan < _ntot && position_of(x, y, pos))
        place(chan, pos);
}

void PadMap::place(int chan, int pos)
{
    const int old_chan = _pad2chan[pos];
    if (old_chan >= 0) {
        _chan2pad[old_chan] = -1;
        _connected[old_chan] = 0;
    }
    const int old_pos = _chan2pad[chan];
    if (old_pos >= 0)
        _pad2chan[old_pos] = -1;
    _pad2chan[pos] = chan;
    _chan2pad[chan] = pos;
    _connected[chan] = 1;
}

void PadMap::set_default()
{
    std::fill(_pad2chan.begin(), _pad2chan.end(), -1);
    std::fill(_chan2pad.begin(), _chan2pad.end(), -1);
    std::fill(_connected.begin(), _connected.end(), 0);
    const int pads = _nx * _ny;
    for (int i = 0; i < pads; ++i) {
        _pad2chan[i] = i;
        _chan2pad[i] = i;
        _connected[i] = 1;
    }
}

void PadMap::print(std::ostream& os) const
{
    for (int y = 0; y < _ny; ++y) {
        for (int x = 0; x < _nx; ++x)
            // Five characters, and never two numbers run together.
            os << ' ' << std::setw(4) << _pad2chan[x + y * _nx];
        os << '\n';
    }
}

void PadMap::print_unconnected() const
{
    std::cout << "Unconnected channels" << std::endl;
    int n = 0;
    for (int c = 0; c < _ntot; ++c) {
        if (_connected[c])
            continue;
        std::cout << std::setw(8) << c;
        if (++n % 8 == 0)
            std::cout << std::endl;
    }
    if (n % 8)
        std::cout << std::endl;
}
