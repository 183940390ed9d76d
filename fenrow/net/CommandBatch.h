// Commands for the boards of one manager, collected rather than sent, then
// sent one after the other, each once the one before has been acknowledged:
// so that whoever sends a long chain of settings knows how far it has come,
// which command a board did not take, and can stop the rest at once.
#ifndef BRISKO_FENROW_NET_COMMANDBATCH_H
#define BRISKO_FENROW_NET_COMMANDBATCH_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fenrow/net/PendingCommands.h"

class FenrowManager;

class CommandBatch {
public:
    struct Entry {
        std::string ip;
        std::vector<std::uint8_t> bytes;   // network order
    };

    // While it lives, what this thread sends through the manager is added
    // to the batch instead of being queued.
    class Collect {
    public:
        Collect(CommandBatch& batch, const FenrowManager* manager);
        ~Collect();
        Collect(const Collect&) = delete;
        Collect& operator=(const Collect&) = delete;

    private:
        CommandBatch* _outer_batch;
        const FenrowManager* _outer_manager;
    };
    // The batch this thread collects for the manager, or null.
    static CommandBatch* collecting(const FenrowManager* manager);

    void add(const std::string& ip, std::vector<std::uint8_t> bytes);
    std::size_t size() const { return _entries.size(); }
    const Entry& at(std::size_t i) const { return _entries.at(i); }

    // How a send ended.
    struct Result {
        std::size_t acknowledged = 0;   // commands taken, from the first on
        // Of the command after them; acknowledged when all were taken.
        CommandFate fate = CommandFate::acknowledged;
        bool sent = false;       // that command went to the board
        bool refused = false;    // it was not queued (board unknown or silent)
    };
    // Sends the commands in order through the manager and waits for each.
    // progress(n) runs before command n (from 1) goes. Ends at the first
    // command that is not acknowledged, or, within 0.1 s, once *cancel is
    // set or stop() holds: the command in flight is withdrawn then and the
    // rest are not sent. Runs on any thread but the manager's server thread.
    Result send(FenrowManager& manager, const std::shared_ptr<const std::atomic<bool>>& cancel,
                const std::function<bool()>& stop, const std::function<void(std::size_t)>& progress) const;

private:
    std::vector<Entry> _entries;
};

// The operator's name of a readout-board command, such as "the readout mode
// of stream 3".
std::string command_name(const std::vector<std::uint8_t>& bytes);

#endif
