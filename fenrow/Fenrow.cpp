#include "fenrow/Fenrow.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>
#include <vector>

#include "config/ConfigParser.h"
#include "daq/DAQcontroller.h"
#include "daq/IdleCall.h"
#include "fenrow/FenrowPlugin.h"
#include "fenrow/TriggerBoard.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/NetConfig.h"
#include "fenrow/streams/FenrowAnalysis.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/streams/FenrowStreamConf.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/RunManager.h"
#include "ostrel/TellumData.h"

namespace {

// The live managers by serial number: a request to configure a newly found
// board names its manager so, as the manager may be gone by the time the
// GTK main thread gets to the request.
std::mutex& live_mutex()
{
    static std::mutex* m = new std::mutex;
    return *m;
}

std::map<unsigned long, Ostrel::Fenrow*>& live_managers()
{
    static auto* m = new std::map<unsigned long, Ostrel::Fenrow*>;
    return *m;
}

std::atomic<unsigned long> next_serial{1};

std::mutex& definer_mutex()
{
    static std::mutex* m = new std::mutex;
    return *m;
}

Ostrel::Fenrow::BoardDefiner& board_definer()
{
    static auto* d = new Ostrel::Fenrow::BoardDefiner;
    return *d;
}

constexpr double default_weight = 0.001;

// Of the chip names, only those of the boards' own chips; any other text
// reads as "hdr".
int chip_type_from_text(const std::string& text)
{
    const TAmanager::ChipType type = TAmanager::chip_type_from_name(text);
    return type == TAmanager::gp7 || type == TAmanager::gp7_1 || type == TAmanager::gp8 ? type : TAmanager::hdr;
}

// The elements the expression selects whose parent is no section's content:
// a board's element, or a stream's, inside another section's content (a
// copy kept inside a register's text, say) is that section's, and no board's.
std::vector<xmlNodePtr> board_elements(ConfigParser* config, const std::string& xpath)
{
    std::vector<xmlNodePtr> nodes;
    config->get_node(xpath, nodes);
    std::vector<xmlNodePtr> out;
    for (xmlNodePtr n : nodes)
        if (n->parent && !config->is_section_content(n->parent))
            out.push_back(n);
    return out;
}

// The first element of a board's own stream elements (in their order) that
// the child expression selects.
xmlNodePtr first_in_streams(ConfigParser* config, const std::vector<xmlNodePtr>& streams, const std::string& child)
{
    for (xmlNodePtr s : streams) {
        std::vector<xmlNodePtr> nodes;
        if (config->get_node(child, s, nodes))
            return nodes.front();
    }
    return nullptr;
}

// A stream element of a board under `parent`; attributes only.
xmlNodePtr new_stream_element(ConfigParser* config, xmlNodePtr parent, const std::string& name,
                              const std::string& ip)
{
    xmlNodePtr stream = config->create_element(parent, "stream");
    config->set_attribute<std::string>(stream, "name", name);
    config->set_attribute<std::string>(stream, "address", ip);
    return stream;
}

// The monitor settings every new stream element starts with.
void add_monitor(ConfigParser* config, xmlNodePtr stream)
{
    xmlNodePtr monitor = config->create_element(stream, "monitor");
    config->set_attribute<int>(monitor, "nbin", 275);
    config->set_attribute<double>(monitor, "min", 0.0);
    config->set_attribute<double>(monitor, "max", 2200.0);
    xmlNodePtr weights = config->create_element(monitor, "weights");
    config->create_child<double>(weights, "pedestal", default_weight);
    config->create_child<double>(weights, "noise", default_weight);
}

} // namespace

namespace Ostrel {

std::string module_holder(Module* module)
{
    if (auto* stream = dynamic_cast<FenrowStream*>(module)) {
        const FenrowModuleData* data = stream->get_module_data();
        if (data && data->node)
            return "stream " + std::to_string(stream->get_hybrid_id()) + " of board " + data->node->ip();
    }
    if (auto* trigger = dynamic_cast<TriggerModule*>(module)) {
        if (trigger->get_node())
            return "the trigger board " + trigger->get_node()->ip();
    }
    return "of no board";
}

// ---- the operator's answer ---------------------------------------------------

void DefineModuleInfo::finish()
{
    lock();
    done = 1;
    unlock();
    notify_all();
}

void DefineModuleInfo::cancel()
{
    lock();
    chip_type = TAmanager::unknown;
    nstreams = -1;
    nchips = -1;
    done = 1;
    unlock();
    notify_all();
}

bool DefineModuleInfo::answered()
{
    lock();
    const bool d = done != 0;
    unlock();
    return d;
}

bool DefineModuleInfo::cancelled()
{
    lock();
    const bool c = done != 0 && nstreams < 0;
    unlock();
    return c;
}

void Fenrow::set_board_definer(BoardDefiner definer)
{
    std::lock_guard<std::mutex> lock(definer_mutex());
    board_definer() = std::move(definer);
}

// ---- life --------------------------------------------------------------------

Fenrow::Fenrow()
    : FenrowManager("em1", 255, fenrow_net::host_port(), false), _watch(this), _serial(next_serial++)
{
    {
        std::lock_guard<std::mutex> lock(live_mutex());
        live_managers()[_serial] = this;
    }
    DAQmanager* manager = DAQmanager::theDAQmanager();
    // Watched before it is looked up, so that no change in between is missed.
    manager->addObserver(&_watch);
    std::lock_guard<std::mutex> lock(_streams_mutex);
    _main = manager->find_runmanager("main");
}

Fenrow::~Fenrow()
{
    // A stream's loader sends through this manager and waits for its queue.
    FenrowStream::stop_loaders(this);
    stop();
    release_pending();
    // Waits for a notification under way to end: none comes after this.
    DAQmanager::theDAQmanager()->removeObserver(&_watch);
    {
        std::lock_guard<std::mutex> lock(live_mutex());
        live_managers().erase(_serial);
    }
    fenrow_plugin::forget_manager(this);

    // An operator still asked gets no one to answer to.
    for (auto& entry : _definitions)
        if (!entry.second->answered())
            entry.second->cancel();

    // Stream modules left (the configuration deletes them first) must not
    // keep pointing at this manager and its boards.
    for (ModuleNode* board : modules())
        remove_module(board);

    ConfigParser* config = ConfigParser::theConfig();
    for (ModuleParser* parser : conf_modules()) {
        const int id = std::atoi(parser->get_id().c_str());
        if (config->get_id_handler(id) == parser)
            config->register_id_handler(id, nullptr);
        remove_conf_module(parser);
        delete parser;
    }
}

// ---- section handler -----------------------------------------------------------

void Fenrow::parse_node(xmlNodePtr element)
{
    set_node(element);
    set_id(ConfigParser::theConfig()->get_attribute<std::string>(element, "name"));
}

void Fenrow::save_config()
{
    for (ModuleParser* parser : conf_modules()) {
        try {
            parser->save_config();
        } catch (const ConfigException& e) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << e.what() << std::endl;
        }
    }
}

void Fenrow::forget_nodes(xmlNodePtr subtree)
{
    ModuleParser::forget_nodes(subtree);
    for (ModuleParser* parser : conf_modules())
        parser->forget_nodes(subtree);
}

std::string Fenrow::section_name() const
{
    const std::string& n = get_name();
    return n.empty() || n == "<null>" ? std::string("fenrow") : n;
}

// ---- the run manager "main" and the stream modules ------------------------------

void Fenrow::Watch::update(Observable*, Argument* argument)
{
    auto* notice = dynamic_cast<Arg<DAQmanager::Notice>*>(argument);
    if (!notice)
        return;
    auto* object = reinterpret_cast<DAQObject*>(notice->get_value().second);
    if (!object)
        return;
    switch (notice->get_value().first) {
    case DAQmanager::nwRunManager:
        // Only the framework's part of the manager is built yet: the pointer
        // is kept, and used once the manager is in use.
        if (object->get_id() == "main") {
            std::lock_guard<std::mutex> lock(_owner->_streams_mutex);
            _owner->_main = static_cast<RunManager*>(object);
        }
        break;
    case DAQmanager::rmRunManager: {
        std::lock_guard<std::mutex> lock(_owner->_streams_mutex);
        if (_owner->_main && static_cast<DAQObject*>(_owner->_main) == object)
            _owner->_main = nullptr;
        break;
    }
    case DAQmanager::rmModule:
        _owner->forget_module(static_cast<Module*>(object));
        break;
    default:
        break;
    }
}

void Fenrow::forget_module(Module* module)
{
    std::lock_guard<std::mutex> lock(_streams_mutex);
    for (auto& board : _streams)
        for (StreamSlot& slot : board.second)
            if (slot.module && static_cast<Module*>(slot.module) == module)
                slot = StreamSlot();
}

bool Fenrow::trigger()
{
    return wait_for_data(1) > 0;
}

void Fenrow::stream_started()
{
    std::lock_guard<std::mutex> lock(_run_mutex);
    if (_streams_running++ == 0)
        _losses_at_start = losses();
}

void Fenrow::stream_stopped(const FenrowStream* module, unsigned long dropped)
{
    unsigned long lost = dropped;
    {
        std::lock_guard<std::mutex> lock(_run_mutex);
        if (_streams_running > 0 && --_streams_running == 0) {
            const Losses run = losses().since(_losses_at_start);
            lost += static_cast<unsigned long>(run.total());
            if (run.total()) {
                Ostrel::ostream log(Ostrel::LOG_WARNING);
                log << "DAQServer: in this run " << loss_text(run) << std::endl;
            }
        }
    }
    // The run's missing events, where its counters are read.
    std::lock_guard<std::mutex> lock(_streams_mutex);
    if (lost && _main && module && module->get_run_command() == &_main->run_command())
        _main->get_status().add_lost(lost);
}

FenrowStream* Fenrow::stream_module(const ModuleNode* board, int stream)
{
    if (stream < 1 || stream > MAX_STREAMS)
        return nullptr;
    std::lock_guard<std::mutex> lock(_streams_mutex);
    auto it = _streams.find(board);
    return it == _streams.end() ? nullptr : it->second[static_cast<std::size_t>(stream)].module;
}

void Fenrow::board_back(ModuleNode* board, int code)
{
    // Under the lock: a module cannot go meanwhile.
    const bool restart = code != DATA_PACKET;
    std::lock_guard<std::mutex> lock(_streams_mutex);
    auto it = _streams.find(board);
    if (it == _streams.end())
        return;
    std::string names;
    for (const StreamSlot& slot : it->second)
        if (slot.module && slot.module->board_back(restart))
            names += (names.empty() ? "" : ", ") + slot.module->get_id().str();
    Ostrel::ostream log(Ostrel::LOG_INFO);
    if (names.empty()) {
        if (restart)
            log << "Board " << board->ip() << " is back: its streams get their settings" << std::endl;
        return;
    }
    log << "Board " << board->ip() << " is back in the run: "
        << (restart ? "its settings and its start go to " : "its events go on to ") << names << std::endl;
}

// ---- datagrams -------------------------------------------------------------------

void Fenrow::take_request(const std::string& ip, int port, std::uint16_t* words, int count)
{
    if (ModuleNode* board = sender_node(ip)) {
        take_known_datagram(board, words, count);
        return;
    }
    // Defining and registering a board reads and writes the configuration:
    // only while no other thread reads, saves or resets it. Otherwise the
    // board is remembered and registered at the next check.
    std::unique_lock<std::recursive_mutex> document(ConfigParser::theConfig()->document_mutex(), std::try_to_lock);
    if (!document.owns_lock()) {
        remember_board(ip, port, words, count);
        count_drop(DropReason::board_unknown);
        return;
    }
    bool is_new = false;
    ModuleNode* board = take_board_datagram(ip, port, words, count, is_new);
    if (!board) {
        count_drop(DropReason::board_unknown);
        return;
    }
    _heard.erase(ip);
    bool adopted;
    {
        std::lock_guard<std::mutex> lock(_streams_mutex);
        adopted = _adopted.count(board) != 0;
    }
    // Without "main" the board is configured once its modules are made.
    if (is_new && adopted)
        post_configuration(ip);
}

void Fenrow::remember_board(const std::string& ip, int port, const std::uint16_t* words, int count)
{
    // Bounded: a flood from many unknown senders keeps the first few. A
    // datagram handed in by another thread is not kept: the board's next
    // one tries again.
    constexpr std::size_t most = 64;
    if (!on_server_thread() || (_heard.size() >= most && !_heard.count(ip)))
        return;
    Heard& heard = _heard[ip];
    heard.port = port;
    if (count >= 4 && (words[1] & CODE_MASK) == CMD_KNOCK)
        heard.words.assign(words, words + count / 2);
    else if (heard.words.empty())
        heard.words = {PACKET_HEAD, 0};
}

void Fenrow::register_remembered()
{
    std::map<std::string, Heard> heard;
    heard.swap(_heard);
    for (auto& entry : heard)
        take_request(entry.first, entry.second.port, entry.second.words.data(),
                     static_cast<int>(entry.second.words.size() * 2));
}

void Fenrow::adopt_boards()
{
    {
        std::lock_guard<std::mutex> lock(_streams_mutex);
        if (!_main)
            return;
    }
    for (ModuleNode* board : modules()) {
        {
            std::lock_guard<std::mutex> lock(_streams_mutex);
            if (_adopted.count(board))
                continue;
        }
        std::unique_lock<std::recursive_mutex> document(ConfigParser::theConfig()->document_mutex(),
                                                        std::try_to_lock);
        if (!document.owns_lock())
            return;
        add_module(board);
        bool adopted;
        {
            std::lock_guard<std::mutex> lock(_streams_mutex);
            adopted = _adopted.count(board) != 0;
        }
        if (adopted)
            post_configuration(board->ip());
    }
}

void Fenrow::idle()
{
    FenrowManager::idle();
    if (!_heard.empty())
        register_remembered();
    adopt_boards();
}

void Fenrow::post_configuration(const std::string& ip)
{
    // Made under the lock that the GTK main thread takes to look the
    // manager up.
    std::function<void()> request;
    {
        std::lock_guard<std::mutex> lock(live_mutex());
        request = [manager = _serial, ip] { configure_new_module(manager, ip); };
    }
    idle_call(std::move(request));
}

void Fenrow::configure_new_module(unsigned long manager, const std::string& ip)
{
    std::lock_guard<std::mutex> lock(live_mutex());
    auto it = live_managers().find(manager);
    if (it != live_managers().end())
        it->second->config_module(ip);
}

void Fenrow::process_data(ModuleNode* board, std::uint16_t* words, int count)
{
    // The datagrams of one batch share one look at the run state of "main",
    // its run time, and the stream module of their board and stream (they
    // mostly come from one): the lock is taken when the batch or the sender
    // changes, not for every datagram. end_of_batch looks at the module
    // again, under the lock, before it hands the records over. A datagram
    // handed in by another thread is a batch of its own.
    const bool batched = on_server_thread();
    const bool has_header = count >= 2 * DATA_HEADER_WORDS;
    const int stream = has_header ? words[8] >> 8 : -1;
    BatchLook own;
    BatchLook& look = batched ? _look : own;
    const auto batch = batch_time();
    if (!look.valid || look.batch != batch || board != look.board || stream != look.stream) {
        std::lock_guard<std::mutex> lock(_streams_mutex);
        if (!look.valid || look.batch != batch || look.main != _main) {
            look.batch = batch;
            look.main = _main;
            look.running = _main && _main->get_status().isRunning();
            // The run time when the packets are repacked.
            look.daq_time = look.running ? _main->get_status().time() * 1e6 : 0.0;
        }
        look.valid = true;
        look.board = board;
        look.stream = stream;
        look.slot = StreamSlot();
        auto it = _streams.find(board);
        if (stream >= 1 && stream <= MAX_STREAMS && it != _streams.end())
            look.slot = it->second[static_cast<std::size_t>(stream)];
    }
    if (!look.running || (has_header && !look.slot.module)) {
        count_drop(DropReason::data_unwanted);
        return;
    }
    DataPacket packet;
    if (!check_data_packet(board, words, count, packet))
        return;

    const StreamSlot slot = look.slot;
    ModuleData* block = TellumData::create_packet(TellumData::EVENT_RECORD, slot.id, packet.payload_size);
    char* payload = block->data() + sizeof(TellumData);
    const FenrowPayload head{packet.temperature, look.daq_time, packet.header.time, packet.header.evtcnt,
                             packet.header.nchan, static_cast<std::uint16_t>(packet.header.mode)};
    std::memcpy(payload, &head, FENROW_PAYLOAD_HEAD);
    copy_record_data(packet, reinterpret_cast<std::uint16_t*>(payload + FENROW_PAYLOAD_HEAD));
    if (batched) {
        _pending.push_back(Pending{board, stream, slot.module, block, packet.header.evtcnt});
        return;
    }
    // Handed over at once, while the module is surely there.
    std::lock_guard<std::mutex> lock(_streams_mutex);
    auto it = _streams.find(board);
    if (it != _streams.end() && it->second[static_cast<std::size_t>(stream)].module == slot.module) {
        slot.module->push_data(block);
    } else {
        count_drop(DropReason::data_unwanted);
        block->dec_ref();
    }
}

void Fenrow::end_of_batch()
{
    _look.valid = false;
    if (_pending.empty())
        return;
    std::lock_guard<std::mutex> lock(_streams_mutex);
    // Runs of records of one module go in one push.
    for (std::size_t i = 0; i < _pending.size();) {
        const Pending& first = _pending[i];
        std::size_t end = i + 1;
        while (end < _pending.size() && _pending[end].module == first.module)
            ++end;
        // The module may have gone since its records were made.
        auto it = _streams.find(first.board);
        const bool alive =
            it != _streams.end() && it->second[static_cast<std::size_t>(first.stream)].module == first.module;
        _run.clear();
        for (std::size_t k = i; k < end; ++k)
            _run.push_back(_pending[k].block);
        if (alive) {
            // The first, for a gap before the run of records, and the last.
            first.module->note_counter(first.counter);
            if (end - i > 1)
                first.module->note_counter(_pending[end - 1].counter);
            first.module->push_data(_run.data(), _run.size());
        } else {
            for (ModuleData* block : _run) {
                count_drop(DropReason::data_unwanted);
                block->dec_ref();
            }
        }
        i = end;
    }
    _pending.clear();
}

void Fenrow::release_pending()
{
    for (const Pending& p : _pending)
        p.block->dec_ref();
    _pending.clear();
    _look.valid = false;
}

// ---- boards ------------------------------------------------------------------------

xmlNodePtr Fenrow::board_element(const std::string& ip)
{
    const std::vector<xmlNodePtr> own =
        board_elements(ConfigParser::theConfig(), "//modules/" + section_name() + "[@name='" + ip + "']");
    return own.empty() ? node : own.front();
}

void Fenrow::add_module(ModuleNode* board)
{
    DAQmanager* manager = DAQmanager::theDAQmanager();
    RunManager* main = manager->find_runmanager("main");
    if (!main) {
        DAQcontroller::instance()->set_module_list();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_streams_mutex);
        // A board looked up before it was unregistered gets no modules.
        if (get_module(board->ip()) != board || !_adopted.insert(board).second)
            return;
    }
    ConfigParser* config = ConfigParser::theConfig();
    const std::string section = section_name();
    for (int i = 0; i < board->nstreams(); ++i) {
        DataStream* stream = board->stream(i);
        const int number = static_cast<int>(stream->id()) + 1;
        const std::string name = node2name(board, number);
        if (number < 1 || number > MAX_STREAMS) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "Board " << board->ip() << " has a stream in slot " << stream->id()
                << ": boards have slots 0 to " << MAX_STREAMS - 1 << " only" << std::endl;
            continue;
        }
        if (Module* holder = manager->find_module(name)) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "There is a module " << name << " already, " << module_holder(holder) << ": stream " << number
                << " of board " << board->ip() << " gets no module" << std::endl;
            continue;
        }
        auto* module = new FenrowStream(DAQid(name), static_cast<unsigned long>(i), number,
                                        new FenrowModuleData(this, board));
        main->addModule(module);
        {
            std::lock_guard<std::mutex> lock(_streams_mutex);
            _streams[board][static_cast<std::size_t>(number)] =
                StreamSlot{module, static_cast<std::uint16_t>(std::atoi(name.c_str()))};
        }

        auto* conf = new FenrowStreamConf(module);
        conf->set_id(name);
        conf->set_parent_id(section);
        xmlNodePtr element = conf->find_node();
        if (!element) {
            xmlNodePtr parent = board_element(board->ip());
            if (parent) {
                element = new_stream_element(config, parent, name, board->ip());
                add_monitor(config, element);
            }
        }
        if (element) {
            try {
                conf->set_node(element);
                conf->parse_node(element);
            } catch (const ConfigException& e) {
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Stream " << name << ": " << e.what() << std::endl;
            }
        }
        add_conf_module(conf);
        config->register_id_handler(std::atoi(name.c_str()), conf);
    }
    DAQcontroller::instance()->set_module_list();
}

void Fenrow::remove_module(ModuleNode* board)
{
    // Boards are adopted, and sections read and saved, with the
    // configuration held: the modules go once no other thread holds it, so
    // that an adoption under way has ended (none of its modules stays) and
    // no save reads a section that went.
    std::lock_guard<std::recursive_mutex> document(ConfigParser::theConfig()->document_mutex());
    BoardStreams streams;
    {
        std::lock_guard<std::mutex> lock(_streams_mutex);
        _adopted.erase(board);
        auto it = _streams.find(board);
        if (it == _streams.end())
            return;
        streams = it->second;
        _streams.erase(it);
    }
    ConfigParser* config = ConfigParser::theConfig();
    DAQmanager* manager = DAQmanager::theDAQmanager();
    for (std::size_t number = 1; number < streams.size(); ++number) {
        FenrowStream* module = streams[number].module;
        if (!module)
            continue;
        // Its section reads the module: it goes first.
        if (ModuleParser* conf = find_conf_module(module->get_id().str())) {
            if (config->get_id_handler(streams[number].id) == conf)
                config->register_id_handler(streams[number].id, nullptr);
            remove_conf_module(conf);
            delete conf;
        }
        if (DataStream* stream = board->find_stream(static_cast<int>(number) - 1))
            if (stream->get_module() == module)
                stream->set_module(nullptr);
        manager->deleteModule(module);
        delete module;
    }
    DAQcontroller::instance()->set_module_list();
}

// ---- board definitions --------------------------------------------------------------

ModuleNode* Fenrow::find_module(const std::string& ip, int port)
{
    if (ModuleNode* board = node_from_element(ip, port)) {
        _definitions.erase(ip);
        return board;
    }
    // A board of another kind answers every manager's knock: it is neither
    // defined nor asked about here.
    if (named_elsewhere(section_name(), ip))
        return nullptr;

    auto asked = _definitions.find(ip);
    if (asked != _definitions.end()) {
        // Still asking: the board's datagrams are dropped until the answer.
        if (!asked->second->answered())
            return nullptr;
        const std::shared_ptr<DefineModuleInfo> info = asked->second;
        _definitions.erase(asked);
        if (!info->cancelled())
            if (ModuleNode* board = node_from_answer(ip, port, *info))
                return board;
        // Said, and asked again with the datagram that learnt of it, so
        // that the question comes back with the board's next datagram.
        report_undefined(ip);
    }

    BoardDefiner definer;
    {
        std::lock_guard<std::mutex> lock(definer_mutex());
        definer = board_definer();
    }
    auto info = std::make_shared<DefineModuleInfo>();
    if (definer && definer(info, ip)) {
        _definitions[ip] = info;
        return nullptr;
    }
    report_undefined(ip);
    return nullptr;
}

void Fenrow::report_undefined(const std::string& ip)
{
    // Every datagram of the board comes here: once per knock is enough.
    const auto now = std::chrono::steady_clock::now();
    auto it = _undefined_said.find(ip);
    if (it != _undefined_said.end()
        && std::chrono::duration<double>(now - it->second).count() < timing().knock_period)
        return;
    _undefined_said[ip] = now;
    std::cout << "I need to know how to configure board in " << ip << std::endl;
}

ModuleNode* Fenrow::node_from_element(const std::string& ip, int port)
{
    ConfigParser* config = ConfigParser::theConfig();
    const std::string section = section_name();
    if (board_elements(config, "//modules/" + section + "[@name='" + ip + "']").empty())
        return nullptr;

    const std::vector<xmlNodePtr> streams = board_elements(config, "//stream[@address=\"" + ip + "\"]");
    int nchips = 1;
    int chip_type = TAmanager::gp7;
    std::vector<int> slots;
    if (streams.empty()) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "This should not happen if the module is already in the config file" << std::endl;
        nchips = 1;
        chip_type = TAmanager::ta32;
        slots.push_back(0);
    } else {
        // The slot is the stream's number on the board less one: the last
        // digit of its name. The stream's module is named by the board and
        // the slot, and reads the element of that name: an element of
        // another name would serve no stream of this board, and the board's
        // stream would run on settings made up for it.
        std::set<int> taken;
        std::set<xmlNodePtr> accepted;
        for (xmlNodePtr s : streams) {
            const std::string name = config->get_attribute<std::string>(s, "name", "");
            const int slot = std::atoi(name.c_str()) % 10 - 1;
            if (slot < 0 || slot >= MAX_STREAMS || !taken.insert(slot).second) {
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Board " << ip << ", line " << xmlGetLineNo(s) << ": stream \"" << name
                    << "\" names no free slot of 1 to " << MAX_STREAMS << "; it is left out" << std::endl;
                continue;
            }
            const std::string own = node2name(ip, slot + 1);
            if (name != own) {
                taken.erase(slot);
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Board " << ip << ", line " << xmlGetLineNo(s) << ": stream \"" << name
                    << "\" cannot be this board's: its stream " << slot + 1 << " is named \"" << own
                    << "\". The element is left out, and the board's stream " << slot + 1
                    << " has no module until an element of that name is there" << std::endl;
                continue;
            }
            slots.push_back(slot);
            accepted.insert(s);
        }
        // Chip count and type from the first of the board's own elements
        // that serves it.
        std::vector<xmlNodePtr> under;
        for (xmlNodePtr s : board_elements(config, "//modules/" + section + "/stream[@address=\"" + ip + "\"]"))
            if (accepted.count(s))
                under.push_back(s);
        if (xmlNodePtr n = first_in_streams(config, under, "nchips")) {
            try {
                nchips = config->get_value<int>(n);
            } catch (const ConfigException& e) {
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Board " << ip << ": " << e.what() << std::endl;
            }
            // As the stream's section refuses it: the board's initialisation
            // counts the chips in one byte.
            if (nchips < 1 || nchips > TAmanager::max_chips) {
                Ostrel::ostream log(Ostrel::LOG_ERROR);
                log << "Board " << ip << ": nchips must be 1 to " << TAmanager::max_chips << ", not " << nchips
                    << "; the board is taken with 1" << std::endl;
                nchips = 1;
            }
        }
        if (xmlNodePtr n = first_in_streams(config, under, "chip_type"))
            chip_type = chip_type_from_text(trim_str(config->get_node_value(n)));
    }
    auto* board = new ModuleNode(ip, port);
    board->configure(static_cast<int>(slots.size()), nchips, chip_type, slots.data());
    return board;
}

ModuleNode* Fenrow::node_from_answer(const std::string& ip, int port, const DefineModuleInfo& info)
{
    // Not every answer comes from the dialog, which bounds its own: streams
    // beyond the slots that were chosen, and a slot chosen twice, are left
    // out.
    std::vector<int> slots;
    std::set<int> taken;
    const int asked = std::min<int>(info.nstreams, static_cast<int>(sizeof info.slots / sizeof info.slots[0]));
    for (int k = 0; k < asked; ++k)
        if (info.slots[k] >= 0 && info.slots[k] < MAX_STREAMS && taken.insert(info.slots[k]).second)
            slots.push_back(info.slots[k]);
    // The board's initialisation command counts the chips in one byte.
    const int nchips = std::min(std::max(0, info.nchips), static_cast<int>(TAmanager::max_chips));

    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr element = new_board_element(section_name(), ip, port);
    if (!element)
        return nullptr;
    for (int slot : slots) {
        xmlNodePtr stream = new_stream_element(config, element, node2name(ip, slot + 1), ip);
        config->create_child<int>(stream, "nchips", nchips);
        config->create_child<std::string>(stream, "chip_type",
                                          TAmanager::chip_name(static_cast<TAmanager::ChipType>(info.chip_type)));
        for (int c = 0; c < nchips; ++c) {
            xmlNodePtr chip = config->create_element(stream, "chip");
            config->set_attribute<int>(chip, "id", c);
        }
        add_monitor(config, stream);
    }
    parse_node(element);

    auto* board = new ModuleNode(ip, port);
    board->configure(static_cast<int>(slots.size()), nchips, info.chip_type, slots.data());
    return board;
}

} // namespace Ostrel
