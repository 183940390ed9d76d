#include "fenrow/net/Packets.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

std::uint16_t byte_pair(unsigned high, unsigned low)
{
    return static_cast<std::uint16_t>(((high & 0xFFu) << 8) | (low & 0xFFu));
}

void put_word(std::vector<std::uint8_t>& out, std::uint16_t w)
{
    out.push_back(static_cast<std::uint8_t>(w >> 8));
    out.push_back(static_cast<std::uint8_t>(w & 0xFF));
}

std::vector<std::uint8_t> to_wire(const std::vector<std::uint16_t>& words)
{
    std::vector<std::uint8_t> out;
    out.reserve(words.size() * 2);
    for (std::uint16_t w : words)
        put_word(out, w);
    return out;
}

} // namespace

BasePacket::BasePacket(unsigned address, unsigned code, unsigned parameter, unsigned value)
    : _w{PACKET_HEAD, byte_pair(address, code), byte_pair(parameter, 0), static_cast<std::uint16_t>(value)}
{
}

BasePacket::~BasePacket() = default;

int BasePacket::size() const
{
    return 2 * (nwords() + 1);
}

void BasePacket::set_code(unsigned code)
{
    _w[1] = byte_pair(_w[1] >> 8, code);
}

InitPacket::InitPacket(unsigned address, unsigned stream, unsigned nchips, unsigned chip_kind, unsigned variant)
    : BasePacket(address, CMD_INIT, stream, (nchips & 0xFFu) << 8)
{
    _w[2] = byte_pair(stream, ((chip_kind & 0xFu) << 4) | (variant & 0xFu));
}

HoldDelay::HoldDelay(unsigned address, unsigned value, unsigned stream)
    : BasePacket(address, CMD_HOLD_DELAY, stream, value)
{
}

BiasPacket::BiasPacket(unsigned address, unsigned selector, unsigned value, unsigned stream)
    : BasePacket(address, CMD_BIAS, stream, value)
{
    _w[2] = byte_pair(stream, selector);
}

CoincTimeWindow::CoincTimeWindow(unsigned address, unsigned value, unsigned stream)
    : BasePacket(address, CMD_CTW, stream, value)
{
}

ROmodePacket::ROmodePacket(unsigned address, unsigned stream, unsigned mode, unsigned nadj, bool hold)
    : BasePacket(address, CMD_RO_MODE, stream, nadj)
{
    _w[2] = byte_pair(stream, mode);
    if (hold)
        _w[2] |= RO_HOLD_BIT;
}

TriggerPacket::TriggerPacket(unsigned address, unsigned trigger_type, unsigned mask, unsigned stream)
    : BasePacket(address, CMD_TRIGGER, stream, mask)
{
    _w[2] = byte_pair(stream, trigger_type);
}

StartStopPacket::StartStopPacket(unsigned stream, bool start, unsigned parameter)
    : BasePacket(stream, CMD_START_STOP, parameter, start ? 1 : 0)
{
}

KnockPacket::KnockPacket(unsigned address) : BasePacket(address, CMD_KNOCK, 0xFF, 0)
{
}

ConfigPacket::ConfigPacket(unsigned address, int config_words) : BasePacket(address, CMD_CONFIG, 0xFF, 0)
{
    _w.resize(3 + static_cast<std::size_t>(config_words > 0 ? config_words : 0), 0);
}

void ConfigPacket::set_stream(unsigned stream)
{
    _w[2] = byte_pair(stream, _w[2] & 0xFF);
}

int config_words_per_chip(int chip_type)
{
    switch (chip_type) {
    case 5:
    case 6:
    case 8:
        return 58;
    case 7:
        return 55;
    default:
        return 0;
    }
}

std::unique_ptr<ConfigPacket> create_config_packet(int chip_type, int nchips)
{
    const int per_chip = config_words_per_chip(chip_type);
    if (per_chip == 0 || nchips < 1)
        return nullptr;
    const std::size_t words = static_cast<std::size_t>(nchips) * static_cast<std::size_t>(per_chip) + 4;
    if (2 * words > MAX_DATAGRAM)
        return nullptr;
    return std::make_unique<ConfigPacket>(0, static_cast<int>(words - 4));
}

bool init_chip_kind(int chip_type, unsigned& kind, unsigned& variant)
{
    switch (chip_type) {
    case 5:
        kind = 1;
        variant = 0;
        return true;
    case 6:
    case 8:
        kind = 1;
        variant = 1;
        return true;
    case 7:
        kind = 2;
        variant = 0;
        return true;
    default:
        kind = 0;
        variant = 0;
        return false;
    }
}

std::vector<std::uint8_t> convert_packet(const BasePacket& packet)
{
    const int nwords = packet.size() / 2;
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(nwords) * 2);
    for (int i = 0; i < nwords - 1; ++i)
        put_word(out, i < packet.nwords() ? packet.word(i) : 0);
    put_word(out, PACKET_TAIL);
    return out;
}

std::vector<std::uint16_t> convert_packet(const std::uint8_t* bytes, std::size_t count)
{
    const std::size_t nwords = count / 2;
    std::vector<std::uint16_t> words(nwords + (nwords & 1), 0);
    for (std::size_t i = 0; i < nwords; ++i)
        words[i] = static_cast<std::uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
    return words;
}

void words_to_host(std::uint8_t* bytes, std::size_t count)
{
    std::size_t i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Four words at a time: every datagram of every event comes through here.
    for (; i + 8 <= count; i += 8) {
        std::uint64_t v;
        std::memcpy(&v, bytes + i, 8);
        v = ((v & 0x00FF00FF00FF00FFull) << 8) | ((v >> 8) & 0x00FF00FF00FF00FFull);
        std::memcpy(bytes + i, &v, 8);
    }
#endif
    for (; i + 1 < count; i += 2) {
        const std::uint16_t w = static_cast<std::uint16_t>((bytes[i] << 8) | bytes[i + 1]);
        std::memcpy(bytes + i, &w, 2);
    }
}

std::string dump_packet(const std::uint16_t* words, std::size_t byte_count)
{
    std::string text = "[ ";
    char hex[8];
    for (std::size_t i = 0; i < byte_count / 2; ++i) {
        std::snprintf(hex, sizeof hex, "%04x ", words[i]);
        text += hex;
    }
    text += "]";
    return text;
}

const char* ro_mode_name(int mode)
{
    switch (mode) {
    case RO_SERIAL:
        return "serial";
    case RO_SPARSE:
        return "sparse";
    case RO_ADJACENT:
        return "adjacent";
    case RO_SCOPE:
        return "scope";
    default:
        return "unknown";
    }
}

int ro_mode_from_name(const std::string& name)
{
    for (int mode : {RO_SERIAL, RO_SPARSE, RO_ADJACENT, RO_SCOPE})
        if (name == ro_mode_name(mode))
            return mode;
    return 10;
}

bool head_ok(std::uint16_t w0)
{
    return (w0 & PACKET_HEAD) == PACKET_HEAD;
}

double decode_temperature(std::uint16_t word)
{
    const double value = ((word >> 4) & 0x7F) + (word & 0xF) / 16.0;
    return (word & 0x800) ? -value : value;
}

std::uint16_t encode_temperature(double degrees)
{
    const bool negative = std::signbit(degrees);
    long sixteenths = std::lround(std::fabs(degrees) * 16.0);
    if (sixteenths > 0x7FF)
        sixteenths = 0x7FF;
    return static_cast<std::uint16_t>((negative ? 0x800 : 0) | sixteenths);
}

bool knock_firmware(const std::uint16_t* words, std::size_t byte_count, std::uint32_t& firmware)
{
    const std::size_t nwords = byte_count / 2;
    if (nwords >= 5) {
        firmware = (static_cast<std::uint32_t>(words[3] & 0xFF) << 16) | words[4];
        return true;
    }
    if (nwords == 4) {
        firmware = 0x100;
        return true;
    }
    return false;
}

std::vector<std::uint8_t> make_ack(int code, int error)
{
    return to_wire({PACKET_HEAD, static_cast<std::uint16_t>(ACK_FLAG | (code & CODE_MASK)),
                    static_cast<std::uint16_t>(error & 0xFF), PACKET_TAIL});
}

std::vector<std::uint8_t> make_knock_reply(std::uint32_t firmware, bool short_reply)
{
    const std::uint16_t w1 = ACK_FLAG | CMD_KNOCK;
    if (short_reply)
        return to_wire({PACKET_HEAD, w1, 0, PACKET_TAIL});
    return to_wire({PACKET_HEAD, w1, 0, static_cast<std::uint16_t>((firmware >> 16) & 0xFF),
                    static_cast<std::uint16_t>(firmware & 0xFFFF), PACKET_TAIL});
}

long data_tail_index(int mode, long n)
{
    switch (mode) {
    case RO_SERIAL:
        return DATA_HEADER_WORDS + n;
    case RO_SPARSE:
        return DATA_HEADER_WORDS + 3 * n;
    case RO_ADJACENT:
        return DATA_HEADER_WORDS + 3 + 3 * n;
    default:
        return -1;
    }
}

std::vector<std::uint8_t> encode_data_packet(const DataHeader& h, const std::vector<std::uint16_t>& payload)
{
    std::vector<std::uint16_t> words = {PACKET_HEAD,
                                        DATA_PACKET,
                                        h.nchan,
                                        h.evtcnt,
                                        static_cast<std::uint16_t>(h.time >> 16),
                                        static_cast<std::uint16_t>(h.time & 0xFFFF),
                                        0,
                                        h.temperature,
                                        byte_pair(static_cast<unsigned>(h.stream), static_cast<unsigned>(h.mode))};
    words.insert(words.end(), payload.begin(), payload.end());
    words.push_back(PACKET_TAIL);
    return to_wire(words);
}

DataFault decode_data_packet(const std::uint16_t* words, std::size_t byte_count, DataPacket& out)
{
    const std::size_t nwords = byte_count / 2;
    out.words = words;
    if (nwords < DATA_HEADER_WORDS)
        return DataFault::short_header;
    DataHeader& h = out.header;
    h.nchan = words[2];
    h.evtcnt = words[3];
    h.time = (static_cast<std::uint32_t>(words[4]) << 16) | words[5];
    h.temperature = words[7];
    h.stream = words[8] >> 8;
    h.mode = words[8] & 0xFF;
    out.temperature = decode_temperature(h.temperature);
    if ((words[1] & CODE_MASK) != DATA_PACKET)
        return DataFault::not_data;
    if (h.stream < 1 || h.stream > MAX_STREAMS)
        return DataFault::bad_stream;
    out.tail = data_tail_index(h.mode, h.nchan);
    if (out.tail < 0)
        return DataFault::bad_mode;
    if (h.mode == RO_SPARSE && h.nchan == 0)
        return DataFault::no_hits;
    if (static_cast<std::size_t>(out.tail) >= nwords)
        return DataFault::past_end;
    out.tail_word = words[out.tail];
    if (out.tail_word != PACKET_TAIL)
        return DataFault::wrong_tail;
    switch (h.mode) {
    case RO_SERIAL:
        out.payload_size = 2 * h.nchan + 32;
        break;
    case RO_SPARSE:
        out.payload_size = 36;
        break;
    default:
        out.payload_size = 4 * h.nchan + 36;
        break;
    }
    return DataFault::none;
}

int record_data_words(const DataPacket& packet)
{
    switch (packet.header.mode) {
    case RO_SERIAL:
        return packet.header.nchan;
    case RO_SPARSE:
        return 2;
    case RO_ADJACENT:
        return 2 * packet.header.nchan + 2;
    default:
        return 0;
    }
}

void copy_record_data(const DataPacket& packet, std::uint16_t* out)
{
    const std::uint16_t* p = packet.words + DATA_HEADER_WORDS;
    const int n = packet.header.nchan;
    switch (packet.header.mode) {
    case RO_SERIAL:
        std::memcpy(out, p, sizeof(std::uint16_t) * static_cast<std::size_t>(n));
        break;
    case RO_SPARSE:
        // Channel, then value, as in the first triplet of adjacent mode.
        out[0] = p[0];
        out[1] = p[2];
        break;
    case RO_ADJACENT:
        out[0] = p[0];
        out[1] = p[2];
        for (int k = 1; k <= n; ++k) {
            out[2 * k] = p[3 * k + 2];
            out[2 * k + 1] = p[3 * k + 1];
        }
        break;
    default:
        break;
    }
}
