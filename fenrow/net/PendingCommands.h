// The stop-and-wait command queue of a board manager: one command in flight
// for all boards together, later ones waiting in order. A command in flight is
// re-sent while no acknowledgement comes, a bounded number of times; then it
// is given up so that the commands behind it, for other boards too, go on.
// The board's other commands go with it, and the board counts as silent
// until a datagram comes from it again: its commands are refused meanwhile,
// so that it holds the others up for one command's re-sends at most and
// nothing meant for it reaches whatever answers at its address later.
#ifndef BRISKO_FENROW_NET_PENDINGCOMMANDS_H
#define BRISKO_FENROW_NET_PENDINGCOMMANDS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ostrel/Thread.h"

class DAQServer;
class ModuleNode;

// What became of a command a sender watches.
enum class CommandFate : int { waiting, acknowledged, given_up, dropped, cancelled };

// Shared by the sender of a command and the queue that holds it.
struct CommandWatch {
    std::atomic<CommandFate> fate{CommandFate::waiting};
    // Once set, the queue sends the command no more and lets it go,
    // cancelled. May be null; may be shared by several commands.
    std::shared_ptr<const std::atomic<bool>> cancel;
};

class PendingCommands {
public:
    struct command {
        std::chrono::steady_clock::time_point stamp;
        std::string ip;
        int port = 0;
        int resends = 0;
        std::vector<std::uint8_t> bytes;   // network order
        std::shared_ptr<CommandWatch> watch;
        int code() const;
        unsigned w1() const;
        bool cancelled() const;
    };

    // Holds while nothing is in flight or waiting.
    class PendingCondition : public Ostrel::Condition {
    public:
        explicit PendingCondition(PendingCommands* owner) : _owner(owner) {}

    protected:
        bool predicate() override;

    private:
        PendingCommands* _owner;
    };

    explicit PendingCommands(DAQServer* server);
    ~PendingCommands();
    PendingCommands(const PendingCommands&) = delete;
    PendingCommands& operator=(const PendingCommands&) = delete;

    // A command in flight is re-sent when older than `after` seconds, at most
    // `max_resends` times; check_commands() runs every `check_period` seconds.
    void set_resend(double after, int max_resends, double check_period);

    // Sends at once when nothing is pending, else queues: 0. -1, and
    // nothing queued, while the node is silent. The watch, when given,
    // follows the command until it leaves.
    int send_command(const ModuleNode* node, std::size_t count, const std::uint8_t* bytes,
                     std::shared_ptr<CommandWatch> watch = nullptr);
    // Periodic work: sends the next queued command when nothing is in
    // flight; re-sends or gives up commands left unacknowledged, and lets
    // cancelled ones go.
    void check_commands();
    // An acknowledgement from the node: the oldest command in flight with
    // its code leaves. True when one did.
    bool remove_command(const ModuleNode* node, const std::uint16_t* words, int count);
    // Drops every command of the node, in flight or waiting; the node is
    // no longer silent.
    void remove_commands_from_node(const ModuleNode* node);
    // A datagram came from ip: a silent board there counts as back. It has
    // nothing left of what was meant for it before: its commands went when
    // it fell silent, and none were taken since. Cheap while no board is
    // silent (the server thread calls it for every datagram). True when
    // the board was silent.
    bool heard_from(const std::string& ip);
    // A command to the board at ip was given up and nothing has come from
    // it since.
    bool is_silent(const std::string& ip);

    // Waits up to `milliseconds` for the watched command to leave; its
    // fate, waiting on time-out.
    CommandFate wait_for(const CommandWatch& watch, int milliseconds);
    // The watched command leaves now, cancelled, wherever it is.
    void withdraw(const std::shared_ptr<CommandWatch>& watch);

    // Waits until nothing is pending: 0, or -1 on time-out. A negative time
    // waits as long as commands keep leaving the queue, and gives up when
    // none has left for stall_limit() seconds or the server is not running.
    // Never waits on the server thread (nothing could drain the queue there).
    // A negative-time wait also ends, -1, within 0.1 s of the cancel flag's
    // being set, so that whoever owns the waiter can take it down without
    // waiting for the boards.
    int wait(int milliseconds, const std::atomic<bool>* cancel = nullptr);
    // Longest time one command can stay in flight before it leaves.
    double stall_limit();

    int n_command_for_module(const std::string& ip);
    bool empty();
    std::size_t queued();
    // Commands given up after their re-sends.
    std::uint64_t given_up() const { return _given_up.load(); }

private:
    // Shared, so that a command can be sent with the lock released while
    // another thread takes it off a list.
    using Command = std::shared_ptr<command>;
    void transmit(const std::vector<Command>& commands);
    // Moves the front of the queue in flight when nothing is; the caller
    // holds the lock and transmits what was added to `out`. Cancelled
    // commands on the way leave.
    void promote_locked(std::vector<Command>& out);
    // The command leaves with that fate; the caller holds the lock and
    // then calls left().
    static void leave_locked(command& c, CommandFate fate);
    // Wakes those waiting for commands to leave; without the lock.
    void left();
    // Every command `which` picks leaves with that fate; how many did.
    // Under the lock.
    template <class Which>
    std::size_t leave_where_locked(Which which, CommandFate fate);

    std::mutex _mutex;
    std::deque<Command> _in_flight;
    std::deque<Command> _queue;
    DAQServer* _server;
    PendingCondition _done;
    double _resend_after = 1.0;
    int _max_resends = 5;
    double _check_period = 0.5;
    std::atomic<std::uint64_t> _given_up{0};
    std::atomic<std::uint64_t> _left{0};   // commands that have left, for progress
    std::condition_variable _left_cond;
    std::set<std::string> _silent;
    std::atomic<std::size_t> _n_silent{0};
};

#endif
