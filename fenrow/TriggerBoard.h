// The trigger logic board: it combines up to eight trigger inputs into one
// trigger, as the AND of the unmasked inputs or as an OR with a majority
// threshold. TriggerBoard is the board manager on the trigger boards' host
// port and the configuration section parser of their element;
// TriggerModule is the acquisition module of one trigger board, whose
// settings reach the board in one command whenever it is made ready.
#ifndef BRISKO_FENROW_TRIGGERBOARD_H
#define BRISKO_FENROW_TRIGGERBOARD_H

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "config/ModuleParser.h"
#include "daq/GenModule.h"
#include "fenrow/net/FenrowManager.h"
#include "fenrow/net/Packets.h"
#include "ostrel/Parameter.h"
#include "ostrel/Thread.h"

class ModuleNode;

namespace Ostrel {

class TriggerBoard;

// The trigger inputs of a trigger board, and the largest majority of an OR
// (all of them firing is their AND), as the settings dialog offers it.
constexpr int TRIGGER_INPUTS = 8;
constexpr int TRIGGER_MAX_MAJORITY = TRIGGER_INPUTS - 1;

class TriggerModule : public GenModule, public ParameterCollection<TriggerModule> {
public:
    // address: the board's UDP port.
    TriggerModule(const DAQid& id, unsigned long address);
    ~TriggerModule() override;

    int PrepareForRun() override;
    int GetReady() override;
    int Start(int) override { return 0; }
    int Stop(int) override { return 0; }
    int Pause() override { return 0; }
    int Continue() override { return 0; }
    int Reset() override { return 0; }
    int Trigger() override { return 0; }
    int flush() override { return 0; }
    // The module delivers no events.
    bool hasData() override { return false; }
    ModuleData* getData() override { return nullptr; }
    int get_data_type() override { return 0; }

    // The trigger command from the present parameters, to the board.
    void send_config();
    // The trigger command of the module id's board.
    static BasePacket trigger_packet(int module_id, int operation, int majority, unsigned mask);

    // Store the value without notifying; nothing is sent. A value the board
    // cannot hold (operation 0 or 1, majority 1 .. TRIGGER_MAX_MAJORITY, a mask
    // of TRIGGER_INPUTS bits) is refused (ParameterRefused, and a line in
    // the log), and the parameter keeps its value.
    void set_operation(const int& value);
    void set_majority(const int& value);
    void set_mask(const unsigned& value);
    // Why such a value, in its text, is refused.
    static std::string operation_refusal(const std::string& value);
    static std::string majority_refusal(const std::string& value);
    static std::string mask_refusal(const std::string& value);
    int get_operation() const;
    int get_majority() const;
    unsigned get_mask() const;

    void set_board(TriggerBoard* board) { _board = board; }
    void set_node(ModuleNode* node) { _node = node; }
    ModuleNode* get_node() const { return _node; }

private:
    TriggerBoard* _board = nullptr;
    ModuleNode* _node = nullptr;
    Par<int>* _operation;
    Par<int>* _majority;
    Par<unsigned>* _mask;
};

class TriggerBoard : public ModuleParser, public FenrowManager {
public:
    // create_TriggerBoard: the manager with its socket and server thread.
    // ConfigException when the socket cannot be set up.
    static TriggerBoard* create();

    TriggerBoard();
    ~TriggerBoard() override;

    // One trigger board's element: its section (one per board name) reads it.
    void parse_node(xmlNodePtr element) override;
    void save_config() override;
    // Also for the boards' sections, which the configuration may not hold
    // by identifier (two boards of one name).
    void forget_nodes(xmlNodePtr subtree) override;
    // The element name of the trigger boards' section.
    std::string section_name() const;

    // The trigger module of the board at ip, or null.
    TriggerModule* trigger_module(const std::string& ip);

protected:
    void take_request(const std::string& ip, int port, std::uint16_t* words, int count) override;
    // Creates the board's element when the configuration has none; a new
    // node, registered, when none was registered for ip, else null.
    ModuleNode* find_module(const std::string& ip, int port) override;

private:
    void parse_locked(xmlNodePtr element);

    Mutex _mutex;
    // The trigger modules made, by board IP. The framework owns them; one is
    // used only while the framework still holds it under its id.
    struct Made {
        std::string id;
        TriggerModule* module;
    };
    std::map<std::string, Made> _modules;
    // Boards whose module's name another module holds, said.
    std::set<std::string> _clashes;
    // The module made for ip, while the framework holds it; else null.
    TriggerModule* live_module(const std::string& ip);
};

} // namespace Ostrel

#endif
