// The board manager's board commands (declared with the rest of Fenrow in
// Fenrow.h): each builds one command packet from its arguments, the chip set
// or the stream record, and queues it for the board, or adds it to the batch
// that the calling thread collects; none waits for the board. They run on
// whichever thread changes a stream's settings: the GUI thread (the dialogs,
// and config_module for a board just registered), a remote client's, the
// run thread at GetReady and at each scan point, and a stream module's
// loader.
#include "fenrow/Fenrow.h"

#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/Packets.h"
#include "ostrel/Log.h"

namespace {

// Packs the chips' register bits into the configuration words: chips from the
// last to the first, each from its highest bit down to bit 0, filling every
// word from bit 15 down; each chip begins a fresh word. False when a chip
// does not fit the words the chip type gives it.
bool pack_registers(const TAmanager& chips, int words_per_chip, std::uint16_t* out)
{
    std::uint16_t* word = out;
    for (int c = chips.Nchip() - 1; c >= 0; --c) {
        const TAchip* chip = chips.chip(c);
        if (!chip || chip->nBits() > 16 * words_per_chip)
            return false;
        int bit = 15;
        std::uint16_t* w = word;
        for (int b = chip->nBits() - 1; b >= 0; --b) {
            if (chip->Bit(b))
                *w |= static_cast<std::uint16_t>(1u << bit);
            if (--bit < 0) {
                bit = 15;
                ++w;
            }
        }
        word += words_per_chip;
    }
    return true;
}

} // namespace

namespace Ostrel {

int Fenrow::send_config_register(ModuleNode* board, int stream, const TAmanager& chips)
{
    if (!board)
        return -1;
    const int type = chips.GetChipType();
    std::unique_ptr<ConfigPacket> packet = create_config_packet(type, chips.Nchip());
    if (!packet) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        if (config_words_per_chip(type) == 0) {
            log << "\n\n***** Could not send config packet." << std::endl;
            log << "***** Posible reasons are a wrong chip type in the configuration file\n\n";
        } else {
            log << "***** Could not send config packet: " << chips.Nchip() << " chips of type " << type
                << " do not fit one datagram" << std::endl;
        }
        return -1;
    }
    packet->set_stream(static_cast<unsigned>(stream));
    if (!pack_registers(chips, config_words_per_chip(type), packet->config_data())) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "***** Could not send config packet: a chip register does not match chip type " << type
            << std::endl;
        return -1;
    }
    return send_command(board->ip(), *packet);
}

int Fenrow::send_config_readout_mode(int stream_index, ModuleNode* board)
{
    if (!board)
        return -1;
    const DataStream* s = board->stream(stream_index);
    if (!s) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "send_config_readout_mode: hybrid " << stream_index << " does not exist." << std::endl;
        log << "Exixting hybrids are:" << std::endl;
        for (int i = 0; i < board->nstreams(); ++i)
            log << board->stream(i)->id() << std::endl;
        return -1;
    }
    // A count the command cannot carry would reach the board cut to its low
    // 16 bits: the stream module refuses such counts, and none is sent.
    if (s->nadj() > MAX_ADJACENT) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "send_config_readout_mode: " << s->nadj() << " adjacent channels of stream " << s->id() + 1
            << " of board " << board->ip() << " do not fit the command; it is not sent" << std::endl;
        return -1;
    }
    ROmodePacket packet(0, s->id() + 1, s->readout_mode(), s->nadj(), s->get_hold());
    std::uint16_t w2 = packet.word(2);
    if (!s->vout())
        w2 |= RO_NO_VOUT_BIT;
    if (s->polarity() != 0)
        w2 |= RO_POLARITY_BIT;
    packet.set_word(2, w2);
    return send_command(board->ip(), packet);
}

int Fenrow::set_hold_delay(ModuleNode* board, int stream, int value)
{
    if (!board)
        return -1;
    return send_command(board->ip(), HoldDelay(0, static_cast<unsigned>(value), static_cast<unsigned>(stream)));
}

int Fenrow::set_ctw(ModuleNode* board, int stream, int value)
{
    if (!board)
        return -1;
    const int rc = send_command(board->ip(), CoincTimeWindow(0, static_cast<unsigned>(value), static_cast<unsigned>(stream)));
    Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
    log << "Setting CTW [" << stream << "]: value " << value << std::endl;
    return rc;
}

int Fenrow::send_config_bias(ModuleNode* board, int address, int selector, int value, int stream)
{
    if (!board)
        return -1;
    return send_command(board->ip(), BiasPacket(static_cast<unsigned>(address), static_cast<unsigned>(selector),
                                                static_cast<unsigned>(value), static_cast<unsigned>(stream)));
}

int Fenrow::send_config_mbias(ModuleNode* board, int address, int index, int value, int stream)
{
    if (!board)
        return -1;
    BiasPacket packet(static_cast<unsigned>(address), static_cast<unsigned>(index), static_cast<unsigned>(value),
                      static_cast<unsigned>(stream));
    packet.set_code(CMD_MAIN_BIAS);
    return send_command(board->ip(), packet);
}

int Fenrow::set_threshold(ModuleNode* board, int address, int value, int stream)
{
    return send_config_bias(board, address, 2, value, stream);
}

int Fenrow::set_trg_type(ModuleNode* board, int address, int stream, int type, int mask)
{
    if (!board)
        return -1;
    {
        Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
        log << "Setting trigger mode hyb[" << stream << "]\u00A0type: " << type << " mask " << mask << std::endl;
    }
    return send_command(board->ip(), TriggerPacket(static_cast<unsigned>(address), static_cast<unsigned>(type),
                                                   static_cast<unsigned>(mask), static_cast<unsigned>(stream)));
}

int Fenrow::send_config_hybrid(int address, int stream_id, ModuleNode* board)
{
    if (!board)
        return -1;
    const DataStream* s = board->find_stream(stream_id);
    if (!s)
        return -1;
    unsigned kind = 0;
    unsigned variant = 0;
    if (!init_chip_kind(static_cast<int>(s->chip_type()), kind, variant)) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Ostrel::Fenrow::send_config_hybrid Invalid chip type: " << s->chip_type() << std::endl;
    }
    return send_command(board->ip(),
                        InitPacket(static_cast<unsigned>(address), s->id() + 1, s->nchip(), kind, variant));
}

int Fenrow::config_hybrids(ModuleNode* board)
{
    if (!board)
        return 0;
    for (int i = 0; i < board->nstreams(); ++i) {
        const DataStream* s = board->stream(i);
        const int id = static_cast<int>(s->id());
        // The chips the command names are the stream module's settings.
        s->with_settings([&] {
            stop_daq(id + 1, board);
            send_config_hybrid(0, id, board);
        });
    }
    return 0;
}

int Fenrow::config_module(const std::string& ip)
{
    ModuleNode* board = get_module(ip);
    if (!board)
        return -1;
    return config_hybrids(board);
}

} // namespace Ostrel
