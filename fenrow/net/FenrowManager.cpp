#include "fenrow/net/FenrowManager.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iomanip>

#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "config/PathUtils.h"
#include "fenrow/net/CommandBatch.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/NetConfig.h"
#include "ostrel/Log.h"

#include <glib.h>

namespace {

// The wall-clock time so many seconds ago, as the log gives it
// ("14:03:27.512").
std::string time_ago(double seconds)
{
    const gint64 us = g_get_real_time() - static_cast<gint64>(seconds * 1e6);
    GDateTime* t = g_date_time_new_from_unix_local(us / 1000000);
    if (!t)
        return "?";
    gchar* hms = g_date_time_format(t, "%H:%M:%S");
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03d", static_cast<int>(us % 1000000 / 1000));
    const std::string text = std::string(hms ? hms : "?") + ms;
    g_free(hms);
    g_date_time_unref(t);
    return text;
}

} // namespace

FenrowManager::FenrowManager(const std::string& interface, unsigned address, int port, bool /*use_glib*/)
    : DAQServer(interface, port), _address(address & 0xFF), _pending(this)
{
}

FenrowManager::~FenrowManager()
{
    stop();
}

void FenrowManager::set_timing(const FenrowTiming& timing)
{
    _timing = timing;
}

void FenrowManager::set_broadcast_mask(const std::string& address)
{
    _broadcast_mask = address;
}

void FenrowManager::after_setup()
{
    set_idle_period(_timing.check_period);
    _pending.set_resend(_timing.resend_after, _timing.max_resends, _timing.check_period);
    add_timed_func(_timing.knock_period, &FenrowManager::broadcast_callback, this);
    add_idle_func(&FenrowManager::first_broadcast_callback, this);
}

bool FenrowManager::broadcast_callback(void* self)
{
    static_cast<FenrowManager*>(self)->do_broadcast();
    return true;
}

bool FenrowManager::first_broadcast_callback(void* self)
{
    static_cast<FenrowManager*>(self)->do_broadcast();
    return false;
}

std::string FenrowManager::knock_target() const
{
    const std::string forced = fenrow_net::knock_address();
    if (!forced.empty())
        return forced;
    const std::string bound = get_ip_address();
    const std::string net = bound.substr(0, bound.find('.'));
    if (net == "127")
        return "127.0.0.1";
    if (net == "11")
        return _broadcast_mask;
    return std::string();
}

void FenrowManager::do_broadcast()
{
    const std::string target = knock_target();
    if (target.empty())
        return;
    const std::vector<std::uint8_t> bytes = convert_packet(KnockPacket(_address));
    if (send_packet(target, fenrow_net::board_port(), bytes.data(), bytes.size()) != 0)
        return;
    std::lock_guard<std::mutex> lock(_knock_mutex);
    _knocks.push_back(std::chrono::steady_clock::now());
}

std::chrono::steady_clock::time_point FenrowManager::knock_to_judge()
{
    const auto now = std::chrono::steady_clock::now();
    const auto answered_by = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(_timing.answer_within));
    std::lock_guard<std::mutex> lock(_knock_mutex);
    std::chrono::steady_clock::time_point judged{};
    while (!_knocks.empty() && now - _knocks.front() >= answered_by) {
        judged = _knocks.front();
        _knocks.pop_front();
    }
    return judged;
}

void FenrowManager::idle()
{
    _pending.check_commands();
    check_modules();
}

void FenrowManager::check_modules()
{
    // A board answers every knock: one that let a knock go unanswered is
    // silent from its last datagram on. Said once for each silence, and
    // once more should it last long; its next datagram ends it.
    const auto knock = knock_to_judge();
    std::lock_guard<std::mutex> lock(_registry_mutex);
    for (auto& entry : _registry) {
        ModuleNode* node = entry.second.get();
        const double silent_for = node->last_seen();
        const bool missed_knock = knock != std::chrono::steady_clock::time_point{} && node->seen_before(knock);
        if (!node->silent() && (missed_knock || silent_for > _timing.dead_after)) {
            node->set_silent();
            Ostrel::ostream log(Ostrel::LOG_WARNING);
            log << "Board " << node->ip() << " is silent since " << time_ago(silent_for)
                << (missed_knock ? ": it did not answer the knock" : "") << std::endl;
        }
        if (silent_for > _timing.dead_after && !node->dead_said()) {
            node->set_dead_said();
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "Module " << node->ip() << " seems to be dead... (silent since " << time_ago(silent_for) << ")"
                << std::endl;
        }
    }
}

void FenrowManager::heard_again(ModuleNode* node, double silent_for, int code)
{
    {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Board " << node->ip() << " answers again after " << std::fixed << std::setprecision(1) << silent_for
            << std::defaultfloat << " s of silence" << std::endl;
    }
    board_back(node, code);
}

void FenrowManager::register_module(ModuleNode* node)
{
    if (!node) {
        Ostrel::ostream log(Ostrel::LOG_SEVERE);
        log << "Null ModuleNode pointer in FenrowManager::register_module" << std::endl;
        return;
    }
    node->registered();
    {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Registering module " << node->ip() << std::endl;
    }
    {
        std::lock_guard<std::mutex> lock(_registry_mutex);
        std::unique_ptr<ModuleNode>& slot = _registry[node->ip()];
        if (slot && slot.get() != node)
            _replaced.push_back(std::move(slot));
        slot.reset(node);
        ++_registry_generation;
    }
    add_module(node);
}

void FenrowManager::unregister_module(ModuleNode* node)
{
    if (!node)
        return;
    // Out of the registry before its modules go: the server thread adopts
    // every registered board that has none, and would make them again.
    // Kept, like a replaced node: the server thread may hold the pointer it
    // looked up a moment ago.
    {
        std::lock_guard<std::mutex> lock(_registry_mutex);
        auto it = _registry.find(node->ip());
        if (it == _registry.end() || it->second.get() != node)
            return;
        _replaced.push_back(std::move(it->second));
        _registry.erase(it);
        ++_registry_generation;
    }
    {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Unregister module " << node->ip() << std::endl;
    }
    remove_module(node);
    _pending.remove_commands_from_node(node);
}

ModuleNode* FenrowManager::get_module(const std::string& ip)
{
    std::lock_guard<std::mutex> lock(_registry_mutex);
    auto it = _registry.find(ip);
    return it == _registry.end() ? nullptr : it->second.get();
}

ModuleNode* FenrowManager::sender_node(const std::string& ip)
{
    if (!on_server_thread())
        return get_module(ip);
    // Read first: a change after it makes the next call look again.
    const unsigned long generation = _registry_generation.load();
    if (generation != _sender_generation || ip != _sender_ip) {
        _sender = get_module(ip);
        _sender_ip = ip;
        _sender_generation = generation;
    }
    return _sender;
}

std::vector<ModuleNode*> FenrowManager::modules()
{
    std::lock_guard<std::mutex> lock(_registry_mutex);
    std::vector<ModuleNode*> out;
    out.reserve(_registry.size());
    for (auto& entry : _registry)
        out.push_back(entry.second.get());
    return out;
}

void FenrowManager::remove_pending_commands(ModuleNode* node)
{
    _pending.remove_commands_from_node(node);
}

void FenrowManager::add_conf_module(ModuleParser* parser)
{
    std::lock_guard<std::mutex> lock(_parsers_mutex);
    _parsers.push_back(parser);
}

void FenrowManager::remove_conf_module(ModuleParser* parser)
{
    std::lock_guard<std::mutex> lock(_parsers_mutex);
    _parsers.erase(std::remove(_parsers.begin(), _parsers.end(), parser), _parsers.end());
}

std::vector<ModuleParser*> FenrowManager::conf_modules()
{
    std::lock_guard<std::mutex> lock(_parsers_mutex);
    return _parsers;
}

ModuleParser* FenrowManager::find_conf_module(const std::string& name)
{
    std::lock_guard<std::mutex> lock(_parsers_mutex);
    auto it = std::find_if(_parsers.begin(), _parsers.end(),
                           [&name](const ModuleParser* p) { return p && p->get_id() == name; });
    return it == _parsers.end() ? nullptr : *it;
}

int FenrowManager::send_command(const std::string& ip, const BasePacket& packet)
{
    if (!get_module(ip)) {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Node %s not known" << ip << std::endl;
        return -1;
    }
    std::vector<std::uint8_t> bytes = convert_packet(packet);
    if (bytes.size() > MAX_DATAGRAM) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Command of " << bytes.size() << " bytes for " << ip << " does not fit one datagram" << std::endl;
        return -1;
    }
    if (CommandBatch* batch = CommandBatch::collecting(this)) {
        batch->add(ip, std::move(bytes));
        return 0;
    }
    return send_bytes(ip, bytes);
}

int FenrowManager::send_bytes(const std::string& ip, const std::vector<std::uint8_t>& bytes,
                              std::shared_ptr<CommandWatch> watch)
{
    ModuleNode* node = get_module(ip);
    if (!node) {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Node %s not known" << ip << std::endl;
        return -1;
    }
    return _pending.send_command(node, bytes.size(), bytes.data(), std::move(watch));
}

int FenrowManager::send_daq_command(int stream, bool start, ModuleNode* node, std::shared_ptr<CommandWatch> watch)
{
    if (!node)
        return -1;
    const StartStopPacket packet(static_cast<unsigned>(stream), start, 255);
    if (!watch)
        return send_command(node->ip(), packet);
    return send_bytes(node->ip(), convert_packet(packet), std::move(watch));
}

int FenrowManager::wait_for_command_completion(int milliseconds, const std::atomic<bool>* cancel)
{
    return _pending.wait(milliseconds, cancel);
}

std::string FenrowManager::node2name(const ModuleNode* node, int stream)
{
    if (!node)
        return std::string();
    return node2name(node->ip(), stream);
}

std::string FenrowManager::node2name(const std::string& ip, int stream)
{
    const std::size_t dot = ip.rfind('.');
    errno = 0;
    const long long last = std::strtoll(ip.c_str() + (dot == std::string::npos ? 0 : dot + 1), nullptr, 10);
    // Names become int module ids: a name read from a configuration need
    // not be an address, and one whose id would not fit is none.
    const long long id = last * 10 + stream;
    if (errno == ERANGE || last > INT_MAX / 10 || last < INT_MIN / 10 || id > INT_MAX || id < INT_MIN)
        return std::string();
    return std::to_string(id);
}

bool FenrowManager::named_elsewhere(const std::string& element, const std::string& ip)
{
    if (left_alone(ip))
        return true;
    // A board the configuration names for both is this manager's too.
    xmlNodePtr other = other_board_element(element, ip);
    if (!other || find_board_element(element, ip))
        return false;
    {
        std::lock_guard<std::mutex> lock(_left_mutex);
        if (!_left.insert(ip).second)
            return true;
    }
    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << "Board " << ip << " answers, but the configuration names it in a \""
        << reinterpret_cast<const char*>(other->name) << "\" element (line " << xmlGetLineNo(other)
        << "), not a \"" << element << "\" one: it is left to that element's manager" << std::endl;
    return true;
}

bool FenrowManager::left_alone(const std::string& ip)
{
    std::lock_guard<std::mutex> lock(_left_mutex);
    return _left.count(ip) != 0;
}

void FenrowManager::count_drop(DropReason reason)
{
    _drops[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t FenrowManager::dropped(DropReason reason) const
{
    return _drops[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
}

std::uint64_t FenrowManager::dropped() const
{
    std::uint64_t total = socket_drop_count();
    for (const auto& d : _drops)
        total += d.load(std::memory_order_relaxed);
    return total;
}

void FenrowManager::filter(std::uint8_t* bytes, int count)
{
    words_to_host(bytes, static_cast<std::size_t>(count));
}

void FenrowManager::handle_request(const std::string& ip, int port, std::uint16_t* words, int count)
{
    if (count < 4) {
        count_drop(DropReason::short_datagram);
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Short packet of " << count << " bytes from " << ip << ":" << port << std::endl;
        return;
    }
    if (!head_ok(words[0])) {
        count_drop(DropReason::wrong_head);
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Wrong packet from " << ip << ":" << port << "[ "
            << dump_packet(words, static_cast<std::size_t>(std::min(count, 16))) << std::endl;
        return;
    }
    const int code = words[1] & CODE_MASK;
    const bool commands_back = _pending.heard_from(ip);
    if (ModuleNode* node = sender_node(ip)) {
        const double silent_for = node->end_silence();
        if (silent_for >= 0 || commands_back)
            heard_again(node, silent_for >= 0 ? silent_for : node->last_seen(), code);
    }
    if ((words[1] & ACK_FLAG) && code != 0 && code != CMD_KNOCK) {
        if (count < 6) {
            count_drop(DropReason::short_ack);
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "Short acknowledgement of " << count << " bytes from " << ip << ":" << port << std::endl;
            return;
        }
        if (ModuleNode* node = get_module(ip)) {
            const int error = words[2] & 0xFF;
            if (error) {
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "ACK packet (code=" << std::hex << (words[1] & 0xFF) << std::dec << ")  with error: " << error
                    << std::endl;
                log << "\torigin: " << ip << ":" << port << std::endl;
            } else {
                // What the board sent before it took the command reaches
                // its queues first: whoever waits for the command (a run's
                // end for its stop) finds it there.
                if (on_server_thread())
                    end_of_batch();
                _pending.remove_command(node, words, count);
            }
        }
    }
    take_request(ip, port, words, count);
}

ModuleNode* FenrowManager::take_board_datagram(const std::string& ip, int port, std::uint16_t* words, int count,
                                               bool& is_new)
{
    is_new = false;
    ModuleNode* node = sender_node(ip);
    if (!node) {
        node = find_module(ip, fenrow_net::board_port());
        if (!node)
            return nullptr;
        // Only a knock reply carries the firmware word; any other first
        // datagram leaves it 0 until the next knock is answered.
        std::uint32_t firmware = 0;
        if ((words[1] & CODE_MASK) == CMD_KNOCK)
            knock_firmware(words, static_cast<std::size_t>(count), firmware);
        {
            Ostrel::ostream log(Ostrel::LOG_INFO);
            log << "Found module @ " << ip << ":" << port << ". Firmware " << std::hex << firmware << std::dec
                << std::endl;
        }
        register_module(node);
        node->set_firmware(firmware);
        is_new = true;
    }
    take_known_datagram(node, words, count);
    return node;
}

void FenrowManager::take_known_datagram(ModuleNode* node, std::uint16_t* words, int count)
{
    node->registered(batch_time());
    const int code = words[1] & CODE_MASK;
    std::uint32_t firmware = 0;
    if (code == CMD_KNOCK && knock_firmware(words, static_cast<std::size_t>(count), firmware))
        node->set_firmware(firmware);
    else if (code == DATA_PACKET)
        process_data(node, words, count);
}

bool FenrowManager::check_data_packet(const ModuleNode* node, const std::uint16_t* words, int count,
                                      DataPacket& out)
{
    DataFault fault = decode_data_packet(words, static_cast<std::size_t>(count), out);
    if (fault == DataFault::none && !node->find_stream(out.header.stream - 1))
        fault = DataFault::bad_stream;
    if (fault == DataFault::none)
        return true;

    Ostrel::ostream log(Ostrel::LOG_ERROR);
    switch (fault) {
    case DataFault::short_header:
        count_drop(DropReason::data_short);
        log << "Fenrow::process_data: data packet of " << count << " bytes from " << node->ip()
            << " is shorter than its header" << std::endl;
        break;
    case DataFault::not_data:
        count_drop(DropReason::data_not_data);
        log << "Fenrow::process_data: not a data block" << std::endl;
        break;
    case DataFault::bad_stream:
        count_drop(DropReason::data_stream);
        log << "Fenrow::process_data: board " << node->ip() << " has no stream " << out.header.stream << std::endl;
        break;
    case DataFault::bad_mode:
        count_drop(DropReason::data_mode);
        log << "Unknown readout mode " << out.header.mode << std::endl;
        break;
    case DataFault::no_hits:
        // Empty events are normal in sparse mode: detail only.
        count_drop(DropReason::data_no_hits);
        log << Ostrel::loglevel(Ostrel::LOG_PROTOCOL) << "Fenrow::process_data: sparse packet without hits"
            << std::endl;
        break;
    case DataFault::past_end:
        count_drop(DropReason::data_past_end);
        log << "Fenrow::process_data: data tail at word " << out.tail << " lies past the end of a packet of "
            << count / 2 << " words from " << node->ip() << std::endl;
        break;
    case DataFault::wrong_tail:
        count_drop(DropReason::data_tail);
        log << "Wrong data tail " << std::hex << out.tail_word << " != " << PACKET_TAIL << std::dec << std::endl;
        break;
    case DataFault::none:
        break;
    }
    return false;
}

ModuleNode* FenrowManager::find_module(const std::string& ip, int port)
{
    return new ModuleNode(ip, port);
}

void FenrowManager::add_module(ModuleNode*)
{
}

void FenrowManager::remove_module(ModuleNode*)
{
}

void FenrowManager::take_request(const std::string&, int, std::uint16_t*, int)
{
}

void FenrowManager::process_data(ModuleNode*, std::uint16_t*, int)
{
}

void FenrowManager::board_back(ModuleNode*, int)
{
}

xmlNodePtr find_board_element(const std::string& element, const std::string& ip)
{
    std::vector<xmlNodePtr> nodes;
    ConfigParser::theConfig()->get_node("//modules/" + element + "[@name='" + ip + "']", nodes);
    return nodes.empty() ? nullptr : nodes.front();
}

ElementNumber element_number(xmlNodePtr element, const std::string& name, int def)
{
    ElementNumber out;
    out.value = def;
    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr child = element ? config->find_element(element, name) : nullptr;
    if (!child)
        return out;
    out.text = trim_str(config->get_node_value(child));
    out.line = xmlGetLineNo(child);
    const std::string& text = out.text;
    const std::size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() > sign && text.find_first_not_of("0123456789", sign) == std::string::npos) {
        errno = 0;
        out.value = std::strtoll(text.c_str(), nullptr, 10);
        if (errno == ERANGE)
            out.value = text[0] == '-' ? LLONG_MIN : LLONG_MAX;
    } else {
        out.value = config->get_value<int>(element, name, def);
    }
    return out;
}

xmlNodePtr other_board_element(const std::string& element, const std::string& ip)
{
    ConfigParser* config = ConfigParser::theConfig();
    std::vector<xmlNodePtr> nodes;
    config->get_node("//modules/*[@name='" + ip + "']", nodes);
    // An element inside a section's content is that section's, and names
    // no board.
    for (xmlNodePtr n : nodes)
        if (element != reinterpret_cast<const char*>(n->name) && n->parent && !config->is_section_content(n->parent))
            return n;
    return nullptr;
}

xmlNodePtr new_board_element(const std::string& element, const std::string& ip, int port)
{
    ConfigParser* config = ConfigParser::theConfig();
    if (!config->root())
        return nullptr;
    xmlNodePtr modules = config->get_module_node();
    if (!modules)
        modules = config->create_section("modules");
    xmlNodePtr board = config->create_element(modules, element);
    config->set_attribute<std::string>(board, "name", ip);
    config->set_attribute<int>(board, "address", port);
    config->set_attribute<std::string>(board, "interface", "em1");
    return board;
}
