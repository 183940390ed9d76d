#include "fenrow/PendingCommands.h"

#include <algorithm>

#include "fenrow/DAQServer.h"
#include "fenrow/ModuleNode.h"
#include "fenrow/Packets.h"
#include "ostrel/Log.h"

using Clock = std::chrono::steady_clock;

namespace {

double age(Clock::time_point stamp, Clock::time_point now)
{
    return std::chrono::duration<double>(now - stamp).count();
}

} // namespace

unsigned PendingCommands::command::w1() const
{
    return bytes.size() >= 4 ? static_cast<unsigned>((bytes[2] << 8) | bytes[3]) : 0u;
}

int PendingCommands::command::code() const
{
    return static_cast<int>(w1() & CODE_MASK);
}

bool PendingCommands::PendingCondition::predicate()
{
    return _owner->empty();
}

PendingCommands::PendingCommands(DAQServer* server) : _server(server), _done(this)
{
}

PendingCommands::~PendingCommands() = default;

void PendingCommands::set_resend(double after, int max_resends, double check_period)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _resend_after = after;
    _max_resends = max_resends;
    _check_period = check_period;
}

double PendingCommands::stall_limit()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return (_max_resends + 1) * (_resend_after + _check_period) + 1.0;
}

void PendingCommands::transmit(const std::vector<Command>& commands)
{
    for (const Command& c : commands)
        _server->send_packet(c->ip, c->port, c->bytes.data(), c->bytes.size());
}

void PendingCommands::promote_locked(std::vector<Command>& out)
{
    if (!_in_flight.empty() || _queue.empty())
        return;
    Command c = std::move(_queue.front());
    _queue.pop_front();
    c->stamp = Clock::now();
    _in_flight.push_back(c);
    out.push_back(std::move(c));
}

int PendingCommands::send_command(const ModuleNode* node, std::size_t count, const std::uint8_t* bytes)
{
    auto c = std::make_shared<command>();
    c->ip = node->ip();
    c->port = node->port();
    c->bytes.assign(bytes, bytes + count);
    std::vector<Command> now;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _queue.push_back(std::move(c));
        promote_locked(now);
    }
    transmit(now);
    return 0;
}

void PendingCommands::check_commands()
{
    std::vector<Command> out;
    bool left = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        promote_locked(out);
        const auto now = Clock::now();
        for (auto it = _in_flight.begin(); it != _in_flight.end();) {
            command& c = **it;
            if (age(c.stamp, now) <= _resend_after) {
                ++it;
                continue;
            }
            if (c.resends >= _max_resends) {
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Giving up command " << std::hex << c.w1() << std::dec << " to " << c.ip << ":" << c.port
                    << " after " << c.resends << " re-sends" << std::endl;
                it = _in_flight.erase(it);
                ++_given_up;
                ++_left;
                left = true;
                continue;
            }
            c.stamp = now;
            ++c.resends;
            Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
            log << "Re-sending command " << std::hex << c.w1() << std::dec << " to " << c.ip << ":" << c.port
                << std::endl;
            out.push_back(*it);
            ++it;
        }
        promote_locked(out);
    }
    transmit(out);
    if (left)
        _done.notify_all();
}

bool PendingCommands::remove_command(const ModuleNode* node, const std::uint16_t* words, int count)
{
    if (!node || count < 4)
        return false;
    const int code = words[1] & CODE_MASK;
    std::vector<Command> next;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        auto oldest = _in_flight.end();
        for (auto it = _in_flight.begin(); it != _in_flight.end(); ++it)
            if ((*it)->code() == code && (*it)->ip == node->ip()
                && (oldest == _in_flight.end() || (*it)->stamp < (*oldest)->stamp))
                oldest = it;
        if (oldest == _in_flight.end())
            return false;
        _in_flight.erase(oldest);
        ++_left;
        // The next command goes at once rather than at the next periodic
        // check: a board configuration is a long chain of commands.
        promote_locked(next);
    }
    transmit(next);
    _done.notify_all();
    return true;
}

void PendingCommands::remove_commands_from_node(const ModuleNode* node)
{
    if (!node)
        return;
    {
        Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
        log << "Rmoving all pending commands from " << node->ip() << std::endl;
    }
    std::vector<Command> next;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto of_node = [node](const Command& c) { return c->ip == node->ip(); };
        const auto before = _in_flight.size() + _queue.size();
        _in_flight.erase(std::remove_if(_in_flight.begin(), _in_flight.end(), of_node), _in_flight.end());
        _queue.erase(std::remove_if(_queue.begin(), _queue.end(), of_node), _queue.end());
        _left += before - _in_flight.size() - _queue.size();
        promote_locked(next);
    }
    transmit(next);
    _done.notify_all();
}

int PendingCommands::wait(int milliseconds, const std::atomic<bool>* cancel)
{
    if (_server->on_server_thread())
        return empty() ? 0 : -1;
    if (milliseconds >= 0)
        return _done.wait(milliseconds);

    std::uint64_t seen = _left;
    auto progress = Clock::now();
    for (;;) {
        if (_done.wait(100) == 0)
            return 0;
        if (cancel && cancel->load())
            return -1;
        if (!_server->is_running())
            return empty() ? 0 : -1;
        const std::uint64_t left = _left;
        const auto now = Clock::now();
        if (left != seen) {
            seen = left;
            progress = now;
        } else if (age(progress, now) > stall_limit()) {
            return -1;
        }
    }
}

int PendingCommands::n_command_for_module(const std::string& ip)
{
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<int>(
        std::count_if(_in_flight.begin(), _in_flight.end(), [&ip](const Command& c) { return c->ip == ip; }));
}

bool PendingCommands::empty()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _in_flight.empty() && _queue.empty();
}

std::size_t PendingCommands::queued()
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _queue.size();
}
