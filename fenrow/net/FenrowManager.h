// A board-network manager: the UDP server plus the registry of the boards it
// has heard (by IP address), the periodic knock that makes boards answer,
// the check for silent boards, acknowledgement handling and the sending of
// commands through the stop-and-wait queue. The board manager and the trigger
// board manager derive from it and fill its hooks.
//
// The hooks run on the server thread. A derived class that overrides them
// calls stop() first in its destructor, so that the thread is gone before
// its part of the object is.
#ifndef BRISKO_FENROW_NET_FENROWMANAGER_H
#define BRISKO_FENROW_NET_FENROWMANAGER_H

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <libxml/tree.h>

#include "fenrow/net/DAQServer.h"
#include "fenrow/net/Packets.h"
#include "fenrow/net/PendingCommands.h"

class ModuleNode;
class ModuleParser;

// The manager's periods, in seconds. Tests shorten them; the defaults are
// the boards'.
struct FenrowTiming {
    double knock_period = 5.0;    // discovery knock
    double check_period = 0.5;    // re-sends and the silent-board check
    double dead_after = 10.0;     // a board this long silent is reported
    double answer_within = 1.0;   // a board that answers no knock so long is silent
    double stop_answer = 2.0;     // a run's end waits so long for a board's stop
    double resend_after = 1.0;    // an unacknowledged command goes again
    int max_resends = 5;          // then it is given up
};

// Why a datagram was dropped.
enum class DropReason : int {
    short_datagram,  // too short for a head and a code
    wrong_head,
    short_ack,       // an acknowledgement of fewer than three words
    data_short,      // data packet shorter than its header
    data_not_data,
    data_stream,     // stream number outside 1..8 or not on the board
    data_mode,
    data_no_hits,
    data_past_end,   // tail index at or past the datagram's end
    data_tail,
    data_unwanted,   // no run, or no module of the board's stream, takes it
    board_unknown,   // from a board that could not be registered (yet)
    count
};

class FenrowManager : public DAQServer {
public:
    // The knock carries `address` in its address byte. The server thread
    // does all the periodic work; use_glib is accepted for callers that pass
    // it and changes nothing.
    FenrowManager(const std::string& interface, unsigned address, int port, bool use_glib = false);
    ~FenrowManager() override;

    // Before init_server().
    void set_timing(const FenrowTiming& timing);
    const FenrowTiming& timing() const { return _timing; }
    // Where knocks go on an "11." network (default "11.255.255.255").
    void set_broadcast_mask(const std::string& address);
    // Where the knock goes from the bound address; empty: nowhere.
    std::string knock_target() const;
    // Sends one knock now.
    void do_broadcast();

    // Registry. Nodes stay valid while registered; register_module takes the
    // node over.
    void register_module(ModuleNode* node);
    void unregister_module(ModuleNode* node);
    ModuleNode* get_module(const std::string& ip);
    std::vector<ModuleNode*> modules();
    // get_module for the server thread, which asks for the same sender
    // datagram after datagram: there the answer is kept until the registry
    // changes.
    ModuleNode* sender_node(const std::string& ip);
    void remove_pending_commands(ModuleNode* node);

    // Per-stream configuration parsers (not owned), in insertion order.
    void add_conf_module(ModuleParser* parser);
    void remove_conf_module(ModuleParser* parser);
    std::vector<ModuleParser*> conf_modules();
    // The parser whose section id is `name`, or null.
    ModuleParser* find_conf_module(const std::string& name);

    // Queues the packet for the registered board at ip: 0, or -1 for a
    // board that is not registered or silent (see PendingCommands), or a
    // packet larger than a datagram. While this thread collects a batch
    // for the manager (CommandBatch::Collect) the packet goes there: 0.
    int send_command(const std::string& ip, const BasePacket& packet);
    // Queues a converted datagram for the registered board at ip, watched
    // when a watch is given: 0, or -1 as send_command.
    int send_bytes(const std::string& ip, const std::vector<std::uint8_t>& bytes,
                   std::shared_ptr<CommandWatch> watch = nullptr);
    // The watch, when given, follows the command (it is not collected into
    // a batch then).
    int send_daq_command(int stream, bool start, ModuleNode* node, std::shared_ptr<CommandWatch> watch = nullptr);
    int start_daq(int stream, ModuleNode* node) { return send_daq_command(stream, true, node); }
    int stop_daq(int stream, ModuleNode* node) { return send_daq_command(stream, false, node); }
    // 0 when the command queue has drained, -1 on time-out (see
    // PendingCommands::wait, also for the cancel flag).
    int wait_for_command_completion(int milliseconds, const std::atomic<bool>* cancel = nullptr);
    PendingCommands& pending() { return _pending; }

    // The stream module's name: last part of the IP times 10 plus the stream;
    // empty when that is no int.
    static std::string node2name(const ModuleNode* node, int stream);
    static std::string node2name(const std::string& ip, int stream);

    // Whether the configuration names the board at ip by an element of
    // another name than `element` under modules (a board of another kind,
    // with a manager of its own), and not by an `element` of its own: such a
    // board is not this manager's. Said once, with that element's line.
    bool named_elsewhere(const std::string& element, const std::string& ip);
    // Whether named_elsewhere has found the board another's: cheap, for
    // every datagram of it.
    bool left_alone(const std::string& ip);

    std::uint64_t dropped(DropReason reason) const;
    // Every datagram dropped, at the socket too.
    std::uint64_t dropped() const;

protected:
    // Hooks of the derived managers.
    virtual ModuleNode* find_module(const std::string& ip, int port);
    virtual void add_module(ModuleNode* node);
    virtual void remove_module(ModuleNode* node);
    virtual void take_request(const std::string& ip, int port, std::uint16_t* words, int count);
    virtual void process_data(ModuleNode* node, std::uint16_t* words, int count);
    // A registered board is heard again after a silence (its datagram,
    // of the code, follows); said before it is called.
    virtual void board_back(ModuleNode* node, int code);

    void handle_request(const std::string& ip, int port, std::uint16_t* words, int count) override;
    void filter(std::uint8_t* bytes, int count) override;
    void idle() override;
    void after_setup() override;

    void check_modules();

    // What a readout-board manager does with a datagram that passed the
    // head and acknowledgement checks: an unknown sender is defined by
    // find_module and registered (its firmware from a knock reply), a known
    // one stamped; knock replies renew the firmware and data packets go to
    // process_data. Returns the sender's node, or null when it is not
    // registered; `is_new` tells whether this datagram registered it.
    ModuleNode* take_board_datagram(const std::string& ip, int port, std::uint16_t* words, int count,
                                    bool& is_new);
    // Its part for a registered sender: the stamp, the firmware of a knock
    // reply, a data packet to process_data.
    void take_known_datagram(ModuleNode* node, std::uint16_t* words, int count);
    // Checks a data packet of the node; a bad one is logged and counted as
    // dropped and false returned.
    bool check_data_packet(const ModuleNode* node, const std::uint16_t* words, int count, DataPacket& out);
    void count_drop(DropReason reason);

private:
    static bool broadcast_callback(void* self);
    static bool first_broadcast_callback(void* self);
    // The board is heard again: said, and board_back.
    void heard_again(ModuleNode* node, double silent_for, int code);
    // The latest knock sent at least answer_within ago and not judged yet;
    // the zero time when there is none.
    std::chrono::steady_clock::time_point knock_to_judge();

    unsigned _address;
    FenrowTiming _timing;
    std::string _broadcast_mask = "11.255.255.255";
    // When knocks went, oldest first, until they are judged.
    std::mutex _knock_mutex;
    std::deque<std::chrono::steady_clock::time_point> _knocks;
    std::mutex _registry_mutex;
    std::map<std::string, std::unique_ptr<ModuleNode>> _registry;
    std::atomic<unsigned long> _registry_generation{0};
    // sender_node's last answer (server thread only).
    std::string _sender_ip;
    ModuleNode* _sender = nullptr;
    unsigned long _sender_generation = ~0ul;
    // Nodes replaced by a later registration of the same address, or
    // unregistered: kept alive, since modules or the server thread may still
    // point at them.
    std::vector<std::unique_ptr<ModuleNode>> _replaced;
    PendingCommands _pending;
    std::mutex _left_mutex;
    std::set<std::string> _left;
    std::mutex _parsers_mutex;
    std::vector<ModuleParser*> _parsers;
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(DropReason::count)> _drops{};
};

// The first element under modules whose "name" is ip and whose own name is
// not `element`, or null.
xmlNodePtr other_board_element(const std::string& element, const std::string& ip);
// The configuration's element `element` under modules whose "name" is ip,
// or null.
xmlNodePtr find_board_element(const std::string& element, const std::string& ip);
// A whole-number setting in the child `name` of a board's configuration
// element, for a range check: `value` is what the configuration reads from
// the child's text (`text`, blanks aside; `line` its line), or `def` when
// there is no child or the text reads as no int. A text of a sign and digits
// only is taken whole, beyond the range of int too (held at the ends of
// long long), so that no count is cut to fit.
struct ElementNumber {
    long long value = 0;
    std::string text;
    long line = 0;
    bool outside(long long lo, long long hi) const { return value < lo || value > hi; }
};
ElementNumber element_number(xmlNodePtr element, const std::string& name, int def);
// A new element `element` for the board at ip under the configuration's
// modules section (made when missing): "name" the IP, "address" the port,
// "interface" "em1". Null without a configuration document.
xmlNodePtr new_board_element(const std::string& element, const std::string& ip, int port);

#endif
