// Which read-out channel sits on which pad of a pixelated detector.
#ifndef BRISKO_DATA_PADMAP_H
#define BRISKO_DATA_PADMAP_H

#include <iosfwd>
#include <vector>

// nx × ny pads; pad (x, y) has the position x + y·nx. The map holds one
// entry per position and per channel (ntot of each, at least nx × ny), so a
// channel and a pad can be looked up both ways. A channel sits on at most one
// pad and a pad holds at most one channel.
//
// Sizes below 1, or too large to hold, raise ConfigException.
class PadMap {
public:
    // Pad (255, 255): where a channel without a pad lies.
    static constexpr int NO_PAD = 255;

    // Reads a pad map file: nx and ny, then the channel of each position in
    // turn (x fastest). Negative numbers take no position. A file that cannot
    // be opened or read raises ConfigException.
    explicit PadMap(const char* file);
    // An empty map; ntot < 0 stands for nx × ny.
    PadMap(int nx, int ny, int ntot = -1);
    // The first n channels placed at positions 0 .. n − 1.
    PadMap(int n, const int* channels, int nx, int ny);

    int nx() const { return _nx; }
    int ny() const { return _ny; }
    int ntot() const { return _ntot; }

    // The pad of a channel; (NO_PAD, NO_PAD) for a channel without one.
    void pad(int chan, int& x, int& y) const;
    // The channel on pad (x, y); 0 when the pad is outside the map or empty.
    int channel(int x, int y) const;
    // Puts the channel on the pad; the pad's previous channel and the
    // channel's previous pad are freed. Channels outside 0 .. ntot − 1 and
    // pads outside the map are ignored.
    void set(int chan, int x, int y);
    // Channel 0, 1, 2 ... on the pads row by row.
    void set_default();

    // The channel of every pad, row by row, 5 characters each; −1 for an
    // empty pad.
    void print(std::ostream& os) const;
    // The channels without a pad, on standard output.
    void print_unconnected() const;

private:
    void read_map(const char* file);
    void allocate(int nx, int ny, long long ntot);
    bool position_of(int x, int y, int& pos) const;
    // chan and pos within 0 .. ntot − 1.
    void place(int chan, int pos);

    int _nx = 0;
    int _ny = 0;
    int _ntot = 0;
    std::vector<int> _pad2chan;
    std::vector<int> _chan2pad;
    std::vector<unsigned char> _connected;
};

#endif
