// The stop-and-wait command queue of a board manager: one command in flight
// for all boards together, later ones waiting in order. A command in flight is
// re-sent while no acknowledgement comes, a bounded number of times; then it
// is given up so that the commands behind it, for other boards too, go on.
#ifndef BRISKO_FENROW_PENDINGCOMMANDS_H
#define BRISKO_FENROW_PENDINGCOMMANDS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/Thread.h"

class DAQServer;
class ModuleNode;

class PendingCommands {
public:
    struct command {
        std::chrono::steady_clock::time_point stamp;
        std::string ip;
        int port = 0;
        int resends = 0;
        std::vector<std::uint8_t> bytes;   // network order
        int code() const;
        unsigned w1() const;
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

    // Sends at once when nothing is pending, else queues. 0.
    int send_command(const ModuleNode* node, std::size_t count, const std::uint8_t* bytes);
    // Periodic work: sends the next queued command when nothing is in
    // flight; re-sends or gives up commands left unacknowledged.
    void check_commands();
    // An acknowledgement from the node: the oldest command in flight with
    // its code leaves. True when one did.
    bool remove_command(const ModuleNode* node, const std::uint16_t* words, int count);
    // Drops every command of the node, in flight or waiting.
    void remove_commands_from_node(const ModuleNode* node);

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
    // holds the lock and transmits what was added to `out`.
    void promote_locked(std::vector<Command>& out);

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
};

#endif
