// The board manager of the readout boards: the network manager of the boards
// on the host port, with one sending operation per board command.
#ifndef BRISKO_FENROW_FENROW_H
#define BRISKO_FENROW_FENROW_H

#include <string>

#include "fenrow/FenrowManager.h"

class ModuleNode;
class TAmanager;

namespace Ostrel {

class Fenrow : public FenrowManager {
public:
    Fenrow();
    ~Fenrow() override;

    // Every operation queues one command for the board (null: not
    // registered) and returns 0, or -1 when it was not queued. "stream" is
    // the stream's 1-based number on the board; "address" the address byte
    // of the command (0 for one board).

    // The chip registers of the chip set in one configuration packet.
    int send_config_register(ModuleNode* board, int stream, const TAmanager& chips);
    // The readout-mode command of the board's stream at `stream_index` in
    // its stream list, from the stream record.
    int send_config_readout_mode(int stream_index, ModuleNode* board);
    int set_hold_delay(ModuleNode* board, int stream, int value);
    int set_ctw(ModuleNode* board, int stream, int value);
    int send_config_bias(ModuleNode* board, int address, int selector, int value, int stream);
    // The bias command with the main-bias code; index is 1-based.
    int send_config_mbias(ModuleNode* board, int address, int index, int value, int stream);
    int set_threshold(ModuleNode* board, int address, int value, int stream);
    int set_trg_type(ModuleNode* board, int address, int stream, int type, int mask);
    // The initialisation command of the stream whose id (0-based slot) is
    // stream_id.
    int send_config_hybrid(int address, int stream_id, ModuleNode* board);
    // Stops and initialises every stream of the board, in its order. 0.
    int config_hybrids(ModuleNode* board);
    // config_hybrids of the registered board at ip; -1 when there is none.
    int config_module(const std::string& ip);
};

} // namespace Ostrel

#endif
