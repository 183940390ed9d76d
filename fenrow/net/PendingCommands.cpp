#include "fenrow/net/PendingCommands.h"

#include <algorithm>

#include "fenrow/net/DAQServer.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/Packets.h"
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

bool PendingCommands::command::cancelled() const
{
    return watch && watch->cancel && watch->cancel->load();
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

void PendingCommands::leave_locked(command& c, CommandFate fate)
{
    if (c.watch)
        c.watch->fate = fate;
    c.watch.reset();
}

void PendingCommands::left()
{
    _done.notify_all();
    _left_cond.notify_all();
}

void PendingCommands::promote_locked(std::vector<Command>& out)
{
    while (_in_flight.empty() && !_queue.empty()) {
        Command c = std::move(_queue.front());
        _queue.pop_front();
        if (c->cancelled()) {
            leave_locked(*c, CommandFate::cancelled);
            ++_left;
            continue;
        }
        c->stamp = Clock::now();
        _in_flight.push_back(c);
        out.push_back(std::move(c));
    }
}

template <class Which>
std::size_t PendingCommands::leave_where_locked(Which which, CommandFate fate)
{
    std::size_t n = 0;
    for (std::deque<Command>* list : {&_in_flight, &_queue})
        for (auto it = list->begin(); it != list->end();) {
            if (!which(**it)) {
                ++it;
                continue;
            }
            leave_locked(**it, fate);
            it = list->erase(it);
            ++n;
        }
    _left += n;
    return n;
}

int PendingCommands::send_command(const ModuleNode* node, std::size_t count, const std::uint8_t* bytes,
                                  std::shared_ptr<CommandWatch> watch)
{
    auto c = std::make_shared<command>();
    c->ip = node->ip();
    c->port = node->port();
    c->bytes.assign(bytes, bytes + count);
    c->watch = std::move(watch);
    std::vector<Command> now;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_silent.count(c->ip)) {
            Ostrel::ostream log(Ostrel::LOG_PROTOCOL);
            log << "Not sending command " << std::hex << c->w1() << std::dec << " to " << c->ip
                << ": the board is silent" << std::endl;
            return -1;
        }
        _queue.push_back(std::move(c));
        promote_locked(now);
    }
    transmit(now);
    return 0;
}

void PendingCommands::check_commands()
{
    std::vector<Command> out;
    std::uint64_t left_before = 0;
    bool gone = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        left_before = _left;
        leave_where_locked([](const command& c) { return c.cancelled(); }, CommandFate::cancelled);
        promote_locked(out);
        const auto now = Clock::now();
        for (auto it = _in_flight.begin(); it != _in_flight.end();) {
            command& c = **it;
            if (age(c.stamp, now) <= _resend_after) {
                ++it;
                continue;
            }
            if (c.resends >= _max_resends) {
                const std::string ip = c.ip;
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Giving up command " << std::hex << c.w1() << std::dec << " to " << ip << ":" << c.port
                    << " after " << c.resends << " re-sends";
                leave_locked(c, CommandFate::given_up);
                _in_flight.erase(it);
                ++_given_up;
                ++_left;
                // The board's other commands would each hold every board up
                // as long again, and could reach whatever answers at its
                // address later.
                const std::size_t dropped
                    = leave_where_locked([&ip](const command& o) { return o.ip == ip; }, CommandFate::dropped);
                log << "; " << dropped << " more commands for " << ip << " dropped with it" << std::endl;
                _silent.insert(ip);
                _n_silent = _silent.size();
                it = _in_flight.begin();
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
        gone = _left != left_before;
    }
    transmit(out);
    if (gone)
        left();
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
        leave_locked(**oldest, CommandFate::acknowledged);
        _in_flight.erase(oldest);
        ++_left;
        // The next command goes at once rather than at the next periodic
        // check: a board configuration is a long chain of commands.
        promote_locked(next);
    }
    transmit(next);
    left();
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
        const std::string& ip = node->ip();
        leave_where_locked([&ip](const command& o) { return o.ip == ip; }, CommandFate::dropped);
        _silent.erase(ip);
        _n_silent = _silent.size();
        promote_locked(next);
    }
    transmit(next);
    left();
}

bool PendingCommands::heard_from(const std::string& ip)
{
    if (_n_silent.load(std::memory_order_relaxed) == 0)
        return false;
    std::lock_guard<std::mutex> lock(_mutex);
    if (!_silent.erase(ip))
        return false;
    _n_silent = _silent.size();
    return true;
}

bool PendingCommands::is_silent(const std::string& ip)
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _silent.count(ip) != 0;
}

CommandFate PendingCommands::wait_for(const CommandWatch& watch, int milliseconds)
{
    std::unique_lock<std::mutex> lock(_mutex);
    _left_cond.wait_for(lock, std::chrono::milliseconds(milliseconds),
                        [&watch] { return watch.fate.load() != CommandFate::waiting; });
    return watch.fate.load();
}

void PendingCommands::withdraw(const std::shared_ptr<CommandWatch>& watch)
{
    if (!watch)
        return;
    std::vector<Command> next;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        leave_where_locked([&watch](const command& c) { return c.watch == watch; }, CommandFate::cancelled);
        promote_locked(next);
    }
    transmit(next);
    left();
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
