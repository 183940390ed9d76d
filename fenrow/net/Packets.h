// The datagrams exchanged with the readout boards: sequences of 16-bit words,
// big-endian on the wire. The host sends five-word command packets (one class
// per command) and a variable-length chip configuration packet; the boards
// answer with acknowledgements and knock replies and send one data packet per
// event and stream. The board-side encoders live here too, beside their
// decoders, so that every program that speaks the protocol shares one
// description of it.
#ifndef BRISKO_FENROW_NET_PACKETS_H
#define BRISKO_FENROW_NET_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

constexpr std::uint16_t PACKET_HEAD = 0xCAFE;
constexpr std::uint16_t PACKET_TAIL = 0xACAB;
constexpr std::uint16_t ACK_FLAG = 0x80;
constexpr std::uint16_t CODE_MASK = 0x7F;

// The largest payload of one UDP datagram over IPv4.
constexpr std::size_t MAX_DATAGRAM = 65507;

enum PacketCode : int {
    CMD_INIT = 1,
    CMD_HOLD_DELAY = 2,
    CMD_BIAS = 3,
    CMD_MAIN_BIAS = 4,
    CMD_CTW = 5,
    CMD_CONFIG = 7,
    CMD_RO_MODE = 8,
    CMD_TRIGGER = 9,
    CMD_START_STOP = 10,
    CMD_KNOCK = 11,
    DATA_PACKET = 14
};

enum ReadoutMode : int { RO_SERIAL = 1, RO_SPARSE = 2, RO_ADJACENT = 4, RO_SCOPE = 9 };

// Bits of w2 of the readout-mode command.
constexpr std::uint16_t RO_HOLD_BIT = 0x80;
constexpr std::uint16_t RO_NO_VOUT_BIT = 0x40;
constexpr std::uint16_t RO_POLARITY_BIT = 0x20;

// A command packet: w0 .. w(N-2) in host order; the trailer is added when the
// packet is converted for the wire.
class BasePacket {
public:
    BasePacket(unsigned address, unsigned code, unsigned parameter, unsigned value);
    virtual ~BasePacket();

    // Bytes on the wire, trailer included.
    virtual int size() const;

    std::uint16_t word(int i) const { return _w[static_cast<std::size_t>(i)]; }
    void set_word(int i, std::uint16_t v) { _w[static_cast<std::size_t>(i)] = v; }
    int code() const { return _w[1] & CODE_MASK; }
    // Replaces the command code, keeping the address byte.
    void set_code(unsigned code);
    // Words before the trailer.
    int nwords() const { return static_cast<int>(_w.size()); }

protected:
    std::vector<std::uint16_t> _w;
};

class InitPacket : public BasePacket {
public:
    InitPacket(unsigned address, unsigned stream, unsigned nchips, unsigned chip_kind, unsigned variant);
};

class HoldDelay : public BasePacket {
public:
    HoldDelay(unsigned address, unsigned value, unsigned stream);
};

class BiasPacket : public BasePacket {
public:
    BiasPacket(unsigned address, unsigned selector, unsigned value, unsigned stream);
};

class CoincTimeWindow : public BasePacket {
public:
    CoincTimeWindow(unsigned address, unsigned value, unsigned stream);
};

// The readout-mode command carries the adjacent channels (in scope mode
// the test channel) in its one 16-bit value word.
constexpr long long MAX_ADJACENT = 0xFFFF;

class ROmodePacket : public BasePacket {
public:
    ROmodePacket(unsigned address, unsigned stream, unsigned mode, unsigned nadj, bool hold);
};

class TriggerPacket : public BasePacket {
public:
    TriggerPacket(unsigned address, unsigned trigger_type, unsigned mask, unsigned stream);
};

class StartStopPacket : public BasePacket {
public:
    StartStopPacket(unsigned stream, bool start, unsigned parameter);
};

class KnockPacket : public BasePacket {
public:
    explicit KnockPacket(unsigned address);
};

// The chip configuration packet: w0, w1, w2, the configuration words from w3
// on, then the trailer.
class ConfigPacket : public BasePacket {
public:
    ConfigPacket(unsigned address, int config_words);

    void set_stream(unsigned stream);
    int config_words() const { return nwords() - 3; }
    std::uint16_t* config_data() { return _w.data() + 3; }
    const std::uint16_t* config_data() const { return _w.data() + 3; }
};

// Configuration words one chip of the type takes; 0 for a type without a
// configuration packet.
int config_words_per_chip(int chip_type);
// A cleared configuration packet for nchips chips of the type, or null for a
// chip type without one, a count below 1, or a packet that would not fit one
// datagram.
std::unique_ptr<ConfigPacket> create_config_packet(int chip_type, int nchips);

// The chip-kind and variant nibbles of the initialisation command; false for
// a chip type the boards do not know.
bool init_chip_kind(int chip_type, unsigned& kind, unsigned& variant);

// The packet as datagram bytes (network order), trailer included.
std::vector<std::uint8_t> convert_packet(const BasePacket& packet);
// Received bytes as host-order words: count/2 words rounded up to an even
// number, the words past the data 0.
std::vector<std::uint16_t> convert_packet(const std::uint8_t* bytes, std::size_t count);
// Network to host order, in place, for the count/2 whole words.
void words_to_host(std::uint8_t* bytes, std::size_t count);

// "[ " and each of the count/2 words in four hexadecimal digits followed by a
// blank, then "]".
std::string dump_packet(const std::uint16_t* words, std::size_t byte_count);

const char* ro_mode_name(int mode);
// 1, 2, 4 or 9; 10 for any other text.
int ro_mode_from_name(const std::string& name);

bool head_ok(std::uint16_t w0);

// Board temperature word: bit 11 sign, bits 4-10 degrees, bits 0-3 sixteenths.
double decode_temperature(std::uint16_t word);
std::uint16_t encode_temperature(double degrees);

// The firmware word of a knock reply; false when the reply is too short to
// carry one.
bool knock_firmware(const std::uint16_t* words, std::size_t byte_count, std::uint32_t& firmware);

// Board side: an acknowledgement of a command code with an error number
// (0 = success), and a knock reply (short: four words, standing for firmware
// 0x100; long: the 24-bit firmware in w3 and w4).
std::vector<std::uint8_t> make_ack(int code, int error);
std::vector<std::uint8_t> make_knock_reply(std::uint32_t firmware, bool short_reply);

// One event of one stream as the board sends it.
struct DataHeader {
    int stream = 1;                 // 1-based
    int mode = RO_SERIAL;
    std::uint16_t nchan = 0;        // w2: payload entries
    std::uint16_t evtcnt = 0;
    std::uint32_t time = 0;
    std::uint16_t temperature = 0;  // the raw word
};

// Word index of the trailer of a data packet of the mode with n entries, or
// -1 for a mode the host does not read.
long data_tail_index(int mode, long n);
// Header, the payload words as given, then the trailer behind them.
std::vector<std::uint8_t> encode_data_packet(const DataHeader& header, const std::vector<std::uint16_t>& payload);

// Why a data packet is not taken.
enum class DataFault {
    none,
    short_header,   // fewer words than the header
    not_data,       // code is not 14
    bad_stream,     // stream number outside 1 .. 8
    bad_mode,       // readout mode not 1, 2 or 4
    no_hits,        // sparse packet without entries
    past_end,       // tail index at or past the datagram's end
    wrong_tail      // the tail word is not 0xACAB
};

// A checked data packet; `words` points into the datagram (host order).
struct DataPacket {
    DataHeader header;
    double temperature = 0.0;
    long tail = 0;               // word index of the trailer
    int payload_size = 0;        // bytes of the event record's payload
    const std::uint16_t* words = nullptr;
    std::uint16_t tail_word = 0; // the word found at the tail index
};

constexpr int MAX_STREAMS = 8;
constexpr int DATA_HEADER_WORDS = 9;

// Checks and reads a data packet of byte_count bytes in host-order words. On
// DataFault::none `out` is complete; on a fault `out` holds what was read
// before it.
DataFault decode_data_packet(const std::uint16_t* words, std::size_t byte_count, DataPacket& out);
// Data words of the event record: n (serial), 2 (sparse), 2n + 2 (adjacent).
int record_data_words(const DataPacket& packet);
// Writes record_data_words() words of the event record's data.
void copy_record_data(const DataPacket& packet, std::uint16_t* out);

#endif
