// The front-end chips of one readout stream: a chip type and a row of chip
// registers of that type. Global channel ch is channel ch % Nchan() of chip
// ch / Nchan().
#ifndef BRISKO_FENROW_CHIPS_TAMANAGER_H
#define BRISKO_FENROW_CHIPS_TAMANAGER_H

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "fenrow/chips/TAchip.h"
#include "fenrow/chips/bitset.h"

class TAmanager {
public:
    // Chip-type codes; the names are those of chip_name.
    enum ChipType : std::int32_t {
        ta32 = 0,
        gp = 1,
        gp3 = 2,
        gp3p = 3,
        gp5 = 4,
        gp7 = 5,
        gp7_1 = 6,
        hdr = 7,
        gp8 = 8,
        unknown = 9
    };

    // Most chips one stream carries: the board's initialisation command
    // counts them in one byte.
    static constexpr int max_chips = 255;

    // A stream's chip set starts as one "gp3" chip.
    explicit TAmanager(ChipType type = gp3, int nchip = 1);
    TAmanager(const TAmanager& other);
    TAmanager& operator=(const TAmanager& other);
    ~TAmanager();

    // Recreates nchip chips of the chip type, every register cleared. False,
    // and nothing changed, for a count outside 0 .. max_chips. An unknown
    // chip type keeps the count but holds no chips.
    bool Resize(int nchip);
    // Sets the type and recreates the chips (all registers cleared).
    void SetChipType(ChipType type);
    ChipType GetChipType() const { return _type; }

    int Nchip() const { return _nchip; }
    // Channels of chip 0; 0 without chips.
    int Nchan() const;
    int Ntot() const { return Nchan() * Nchip(); }

    // Chip i, or null when there is none. Valid until the chips are next
    // recreated (Resize, SetChipType, load, assignment).
    TAchip* chip(int i) const;

    void mask_channel(int ch);
    void trim_channel(int ch, int value);
    void select_channel(int ch);
    void select_all();
    void mask_all();

    static std::string chip_name(ChipType type);
    // Exact, case-sensitive; unknown for any other text.
    static ChipType chip_type_from_name(const std::string& name);

    // All chip registers in one vector of 16-bit slots, chip 0 first, each
    // from its bit 0 up, behind enough leading zero bits to fill whole
    // slots. Owned by the chip set, replaced by the next call; null without
    // chips.
    bitset* TAvector();

    // Text form: "type nchip nchan", then each chip's lines.
    void save(std::ostream& os) const;
    // Reads the text form. A bad text (not numeric, short, an unknown type
    // code, a chip count out of range, a chip of another size) is refused
    // with a message in the log: false, and the chip set unchanged.
    bool load(std::istream& is);

private:
    int _nchip = 0;
    int _nchan = 128;   // channels per chip of the type
    ChipType _type;
    std::vector<std::unique_ptr<TAchip>> _chips;
    std::unique_ptr<bitset> _vector;
};

std::ostream& operator<<(std::ostream& os, const TAmanager& ta);

#endif
