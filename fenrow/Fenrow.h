// The board manager of the readout boards. It is at once the configuration
// section handler of the board family's element under `modules` and the
// network manager of the boards on the host port: it registers the boards it
// hears (defining them from their configuration element), makes one stream
// module per stream of a registered board, turns the boards' data packets
// into event records on those modules' queues, and offers one sending
// operation per board command.
//
// The hooks run on the server thread. A board is registered when it is first
// heard; its stream modules, which take part in "main"'s runs, are made and
// the board configured as soon as "main" exists. The configuration document
// is touched only while no other thread reads, saves or resets it: a board
// heard meanwhile is registered at the next check, within a second.
#ifndef BRISKO_FENROW_FENROW_H
#define BRISKO_FENROW_FENROW_H

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <glib.h>

#include "config/ModuleParser.h"
#include "fenrow/net/FenrowManager.h"
#include "ostrel/Observer.h"
#include "ostrel/Thread.h"

class ModuleNode;
class TAmanager;

namespace Ostrel {

class FenrowStream;
class FenrowStreamConf;
class Module;
class ModuleData;
class RunManager;

// Whom a module of the boards' names belongs to, for a message about a
// name two boards would give their modules: "stream 1 of board 127.0.0.2",
// "the trigger board 127.0.0.2", or "of no board".
std::string module_holder(Module* module);

// How the operator answered for a board the configuration does not know.
// Filled by whoever asks (the new-board dialog) and then finished; read by
// the server thread once answered() holds.
class DefineModuleInfo : public Condition {
public:
    int done = 0;
    int chip_type = -1;
    int nstreams = 0;        // -1: cancelled
    int nchips = 0;          // -1 when cancelled
    int slots[16] = {};      // entry k: the 0-based slot of the k-th stream

    // Marks the answer complete and wakes any waiter.
    void finish();
    // The answer of a cancelled or closed dialog, finished.
    void cancel();
    bool answered();
    bool cancelled();

protected:
    bool predicate() override { return done != 0; }
};

class Fenrow : public ModuleParser, public FenrowManager {
public:
    // Asks the operator, somewhere other than the server thread, how the
    // board at ip is built, and finishes the record with the answer later.
    // False when it cannot ask (no window): the definition is cancelled.
    using BoardDefiner = std::function<bool(const std::shared_ptr<DefineModuleInfo>&, const std::string& ip)>;
    static void set_board_definer(BoardDefiner definer);

    Fenrow();
    ~Fenrow() override;

    // Section handler ---------------------------------------------------------
    // Keeps the element; its name becomes the section name and its "name"
    // attribute the section id.
    void parse_node(xmlNodePtr element) override;
    // Saves every stream section; an error of one is logged and the others
    // still save.
    void save_config() override;
    // Also for the stream sections, which the configuration may not hold by
    // identifier (two streams of one number).
    void forget_nodes(xmlNodePtr subtree) override;
    // The element name of the board family ("fenrow" until one is known).
    std::string section_name() const;

    // Board commands, in FenrowCommands.cpp (each queues one command and
    // returns 0, or -1 when it was not queued). "stream" is the stream's
    // 1-based number on the board; "address" the address byte of the command
    // (0 for one board).

    // The chip registers of the chip set in one configuration packet.
    int send_config_register(ModuleNode* board, int stream, const TAmanager& chips);
    // The readout-mode command of the board's stream at `stream_index` in
    // its stream list, from the stream record. This and the initialisation
    // command read the record under its stream module's settings lock,
    // which the caller holds (FenrowStream::chips_lock()).
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

    // Interrupts --------------------------------------------------------------
    // True when a datagram waits on the board socket within 1 ms.
    bool trigger();
    void reset() {}

    // A stream module's run begins and ends, with the events its queue
    // dropped. When the last stream that ran ends, the datagrams lost since
    // the first began, if any, are said. Both count as lost for "main"
    // when the run is its.
    void stream_started();
    void stream_stopped(const FenrowStream* module, unsigned long dropped);

    // The stream module that receives the data of the board's stream
    // (1-based), or null.
    FenrowStream* stream_module(const ModuleNode* board, int stream);
    // Datagrams from boards that are not registered, dropped.
    std::uint64_t unregistered_drops() const { return dropped(DropReason::board_unknown); }

    // The configuration of a newly registered board, on the GTK main
    // thread: nothing when its manager (by serial number) has gone.
    static void configure_new_module(unsigned long manager, const std::string& ip);

protected:
    void take_request(const std::string& ip, int port, std::uint16_t* words, int count) override;
    void add_module(ModuleNode* board) override;
    void remove_module(ModuleNode* board) override;
    // The event record of a data packet; it reaches its module's queue
    // with the others of the server's wake-up (end_of_batch), in order.
    void process_data(ModuleNode* board, std::uint16_t* words, int count) override;
    ModuleNode* find_module(const std::string& ip, int port) override;
    void end_of_batch() override;
    // A board heard again during a run goes on in it: when it had stopped
    // (its first word is no event), its streams get their settings and
    // their start.
    void board_back(ModuleNode* board, int code) override;
    // Also registers the boards heard while the configuration was busy, and
    // gives the registered boards their stream modules once "main" exists.
    void idle() override;

private:
    // Stream modules by stream number (1 .. MAX_STREAMS) of one board.
    struct StreamSlot {
        FenrowStream* module = nullptr;
        std::uint16_t id = 0;   // the module id as a number
    };
    using BoardStreams = std::array<StreamSlot, MAX_STREAMS + 1>;

    // Follows the run manager "main" and the modules that go, so that the
    // server thread never uses either after it has gone.
    class Watch : public Observer {
    public:
        explicit Watch(Fenrow* owner) : _owner(owner) {}
        void update(Observable* o, Argument* arg) override;

    private:
        Fenrow* _owner;
    };

    // The board's own element, else the one parsed last; null without.
    xmlNodePtr board_element(const std::string& ip);
    ModuleNode* node_from_element(const std::string& ip, int port);
    // The board defined by the operator's answer: its element written into
    // the configuration and the node configured. Null for an answer without
    // a usable stream layout.
    ModuleNode* node_from_answer(const std::string& ip, int port, const DefineModuleInfo& info);
    void report_undefined(const std::string& ip);
    void post_configuration(const std::string& ip);
    void forget_module(Module* module);
    // Remembers a datagram of an unknown board that could not be registered
    // now: a knock reply as it came (it carries the firmware), any other as
    // a bare head.
    void remember_board(const std::string& ip, int port, const std::uint16_t* words, int count);
    void register_remembered();
    void adopt_boards();
    void release_pending();

    Watch _watch;
    std::mutex _streams_mutex;   // _main, _streams and _adopted
    RunManager* _main = nullptr;
    std::map<const ModuleNode*, BoardStreams> _streams;
    // Boards whose stream modules were made (with "main" there).
    std::set<const ModuleNode*> _adopted;

    // Server thread only.
    std::map<std::string, std::shared_ptr<DefineModuleInfo>> _definitions;
    std::map<std::string, std::chrono::steady_clock::time_point> _undefined_said;
    struct Heard {
        int port;
        std::vector<std::uint16_t> words;
    };
    std::map<std::string, Heard> _heard;
    // The records of the present batch, the run state of "main" they were
    // taken in, the run time they carry, and the stream module of the last
    // board and stream.
    // A record, with the board's event counter it carries.
    struct Pending {
        const ModuleNode* board;
        int stream;
        FenrowStream* module;
        ModuleData* block;
        std::uint16_t counter;
    };
    std::vector<Pending> _pending;
    std::vector<ModuleData*> _run;
    struct BatchLook {
        bool valid = false;
        std::chrono::steady_clock::time_point batch{};
        RunManager* main = nullptr;
        bool running = false;
        double daq_time = 0.0;
        const ModuleNode* board = nullptr;
        int stream = -1;
        StreamSlot slot;
    };
    BatchLook _look;

    std::mutex _run_mutex;   // the two below
    int _streams_running = 0;
    Losses _losses_at_start;

    const unsigned long _serial;
};

} // namespace Ostrel

#endif
