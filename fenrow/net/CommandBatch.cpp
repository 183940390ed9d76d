#include "fenrow/net/CommandBatch.h"

#include "fenrow/net/FenrowManager.h"
#include "fenrow/net/Packets.h"

namespace {

thread_local CommandBatch* collecting_batch = nullptr;
thread_local const FenrowManager* collecting_manager = nullptr;

unsigned word(const std::vector<std::uint8_t>& bytes, std::size_t i)
{
    return 2 * i + 1 < bytes.size() ? static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]) : 0u;
}

} // namespace

CommandBatch::Collect::Collect(CommandBatch& batch, const FenrowManager* manager)
    : _outer_batch(collecting_batch), _outer_manager(collecting_manager)
{
    collecting_batch = &batch;
    collecting_manager = manager;
}

CommandBatch::Collect::~Collect()
{
    collecting_batch = _outer_batch;
    collecting_manager = _outer_manager;
}

CommandBatch* CommandBatch::collecting(const FenrowManager* manager)
{
    return manager && manager == collecting_manager ? collecting_batch : nullptr;
}

void CommandBatch::add(const std::string& ip, std::vector<std::uint8_t> bytes)
{
    _entries.push_back(Entry{ip, std::move(bytes)});
}

CommandBatch::Result CommandBatch::send(FenrowManager& manager, const std::shared_ptr<const std::atomic<bool>>& cancel,
                                        const std::function<bool()>& stop,
                                        const std::function<void(std::size_t)>& progress) const
{
    const auto stopped = [&] { return (cancel && cancel->load()) || (stop && stop()); };
    PendingCommands& queue = manager.pending();
    Result r;
    for (std::size_t i = 0; i < _entries.size(); ++i) {
        if (stopped()) {
            r.fate = CommandFate::cancelled;
            return r;
        }
        if (progress)
            progress(i + 1);
        auto watch = std::make_shared<CommandWatch>();
        watch->cancel = cancel;
        if (manager.send_bytes(_entries[i].ip, _entries[i].bytes, watch) != 0) {
            r.fate = CommandFate::dropped;
            r.refused = true;
            return r;
        }
        r.sent = true;
        CommandFate fate;
        while ((fate = queue.wait_for(*watch, 100)) == CommandFate::waiting) {
            const bool running = manager.is_running();
            if (running && !stopped())
                continue;
            queue.withdraw(watch);
            fate = watch->fate.load();
            if (!running && fate == CommandFate::cancelled)
                fate = CommandFate::dropped;
            break;
        }
        if (fate != CommandFate::acknowledged) {
            r.fate = fate;
            return r;
        }
        ++r.acknowledged;
        r.sent = false;
    }
    return r;
}

std::string command_name(const std::vector<std::uint8_t>& bytes)
{
    const unsigned w1 = word(bytes, 1);
    const unsigned w2 = word(bytes, 2);
    const unsigned code = w1 & CODE_MASK;
    const std::string stream = " of stream " + std::to_string(code == CMD_START_STOP ? w1 >> 8 : w2 >> 8);
    switch (code) {
    case CMD_INIT:
        return "the initialisation" + stream;
    case CMD_HOLD_DELAY:
        return "the hold delay" + stream;
    case CMD_BIAS: {
        static const char* const names[] = {"threshold", "vfp bias", "vthrh bias", "vfsf bias",
                                            "vfss bias", "test pulse", "test point"};
        const unsigned selector = w2 & 0xFF;
        if (selector >= 2 && selector <= 8)
            return std::string("the ") + names[selector - 2] + stream;
        return "bias " + std::to_string(selector) + stream;
    }
    case CMD_MAIN_BIAS:
        return "main bias " + std::to_string(w2 & 0xFF) + stream;
    case CMD_CTW:
        return "the coincidence window" + stream;
    case CMD_CONFIG:
        return "the chip configuration" + stream;
    case CMD_RO_MODE:
        return "the readout mode" + stream;
    case CMD_TRIGGER:
        return "the trigger" + stream;
    case CMD_START_STOP:
        return (word(bytes, 3) ? "the start" : "the stop") + stream;
    default:
        return "command " + std::to_string(code);
    }
}
