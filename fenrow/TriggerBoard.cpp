#include "fenrow/TriggerBoard.h"

#include <cstdlib>
#include <iostream>
#include <mutex>

#include <glib.h>

#include "config/ConfigParser.h"
#include "daq/DAQcontroller.h"
#include "data/Analysis.h"
#include "fenrow/Fenrow.h"
#include "fenrow/TriggerModuleConf.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/NetConfig.h"
#include "fenrow/net/Packets.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/RunManager.h"

namespace {

template <class T>
T read_par(Ostrel::Par<T>* par)
{
    std::lock_guard<std::recursive_mutex> lock(par->mutex());
    return par->get_value();
}

} // namespace

namespace Ostrel {

// ---- the module ---------------------------------------------------------------

TriggerModule::TriggerModule(const DAQid& id, unsigned long address)
    : GenModule(id, address),
      _operation(new Par<int>(1)),
      _majority(new Par<int>(1)),
      _mask(new Par<unsigned>(0u))
{
    add_par("operation", _operation);
    new_par(&TriggerModule::set_operation, _operation);
    add_par("majority", _majority);
    new_par(&TriggerModule::set_majority, _majority);
    add_par("mask", _mask);
    new_par(&TriggerModule::set_mask, _mask);
    set_par("pedestal", std::vector<double>{0.0}, false);
    set_par("noise", std::vector<double>{0.0}, false);
    set_analysis(new Analysis(1, 1, 256, 0.0, 1023.0));
}

TriggerModule::~TriggerModule()
{
    set_analysis(nullptr);
}

int TriggerModule::PrepareForRun()
{
    send_config();
    return 0;
}

int TriggerModule::GetReady()
{
    send_config();
    return 0;
}

BasePacket TriggerModule::trigger_packet(int module_id, int operation, int majority, unsigned mask)
{
    BasePacket packet(static_cast<unsigned>(module_id) & 0xFF, 1, 255, 0);
    packet.set_word(2, static_cast<std::uint16_t>((operation << 8) | (majority & 0xFF)));
    packet.set_word(3, static_cast<std::uint16_t>(mask & 0xFF));
    return packet;
}

void TriggerModule::send_config()
{
    if (!_board || !_node)
        return;
    _board->send_command(_node->ip(), trigger_packet(get_id().to_int(), get_operation(), get_majority(), get_mask()));
}

std::string TriggerModule::operation_refusal(const std::string& value)
{
    return "operation " + value + " refused; the trigger board takes 0 (OR) or 1 (AND)";
}

std::string TriggerModule::majority_refusal(const std::string& value)
{
    return "majority " + value + " refused; the trigger board takes 1 to " + std::to_string(TRIGGER_MAX_MAJORITY) +
           " (all " + std::to_string(TRIGGER_INPUTS) + " of its inputs are their AND)";
}

std::string TriggerModule::mask_refusal(const std::string& value)
{
    return "mask " + value + " refused; the trigger board takes 0 to " + std::to_string((1u << TRIGGER_INPUTS) - 1) +
           ", one bit for each of its " + std::to_string(TRIGGER_INPUTS) + " inputs";
}

// The packet carries each setting in a byte, which the board reads by its
// inputs: anything else would reach it cut to that byte.
void TriggerModule::set_operation(const int& value)
{
    if (value != 0 && value != 1)
        refuse(operation_refusal(std::to_string(value)));
    _operation->set_value(value, false);
}

void TriggerModule::set_majority(const int& value)
{
    if (value < 1 || value > TRIGGER_MAX_MAJORITY)
        refuse(majority_refusal(std::to_string(value)));
    _majority->set_value(value, false);
}

void TriggerModule::set_mask(const unsigned& value)
{
    if (value >> TRIGGER_INPUTS)
        refuse(mask_refusal(std::to_string(value)));
    _mask->set_value(value, false);
}

int TriggerModule::get_operation() const
{
    return read_par(_operation);
}

int TriggerModule::get_majority() const
{
    return read_par(_majority);
}

unsigned TriggerModule::get_mask() const
{
    return read_par(_mask);
}

// ---- the board manager -------------------------------------------------------------

TriggerBoard* TriggerBoard::create()
{
    g_log("Tellum", G_LOG_LEVEL_WARNING, "create_TriggerBoard");
    auto* board = new TriggerBoard;
    board->set_broadcast_mask("11.255.255.255");
    const int rc = board->init_server();
    if (rc < 0) {
        std::cout << "Could not setup socket. rc=" << rc << std::endl;
        delete board;
        throw ConfigException("Could not setup socket");
    }
    board->start_thread();
    return board;
}

TriggerBoard::TriggerBoard() : FenrowManager("em1", 255, fenrow_net::trigger_port(), false)
{
}

TriggerBoard::~TriggerBoard()
{
    stop();
    DAQmanager* manager = DAQmanager::theDAQmanager();
    // Modules the configuration has not deleted (it deletes them first)
    // must not outlive the manager and the nodes they point to.
    for (const auto& entry : _modules) {
        if (TriggerModule* module = live_module(entry.first)) {
            manager->deleteModule(module);
            delete module;
        }
    }
    ConfigParser* config = ConfigParser::theConfig();
    for (ModuleParser* parser : conf_modules()) {
        const int id = std::atoi(node2name(parser->get_id(), 1).c_str());
        if (config->get_id_handler(id) == parser)
            config->register_id_handler(id, nullptr);
        remove_conf_module(parser);
        delete parser;
    }
}

std::string TriggerBoard::section_name() const
{
    // Set by the plug-in loader to the element name the configuration gives.
    const std::string& n = get_name();
    return n.empty() || n == "<null>" ? std::string("trigger") : n;
}

void TriggerBoard::parse_node(xmlNodePtr element)
{
    std::lock_guard<Mutex> lock(_mutex);
    parse_locked(element);
}

void TriggerBoard::parse_locked(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    const std::string registered = get_name();
    const std::string element_name = reinterpret_cast<const char*>(element->name);
    if (registered != element_name) {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "TriggerBoard::parse_node - Different node names:  " << registered << "/" << element_name
            << std::endl;
    }
    node = element;
    const std::string board = config->get_attribute<std::string>(element, "name");
    set_id(board);

    ModuleParser* conf = find_conf_module(board);
    if (!conf) {
        conf = new TriggerModuleConf(nullptr);
        conf->set_id(board);
        add_conf_module(conf);
        config->register_id_handler(std::atoi(node2name(board, 1).c_str()), conf);
    }
    conf->parse_node(element);
}

void TriggerBoard::save_config()
{
    for (ModuleParser* parser : conf_modules())
        parser->save_config();
}

void TriggerBoard::forget_nodes(xmlNodePtr subtree)
{
    ModuleParser::forget_nodes(subtree);
    for (ModuleParser* parser : conf_modules())
        parser->forget_nodes(subtree);
}

TriggerModule* TriggerBoard::trigger_module(const std::string& ip)
{
    std::lock_guard<Mutex> lock(_mutex);
    return live_module(ip);
}

TriggerModule* TriggerBoard::live_module(const std::string& ip)
{
    auto it = _modules.find(ip);
    if (it == _modules.end())
        return nullptr;
    Module* held = DAQmanager::theDAQmanager()->find_module(it->second.id);
    return held == it->second.module ? it->second.module : nullptr;
}

void TriggerBoard::take_request(const std::string& ip, int port, std::uint16_t*, int)
{
    std::lock_guard<Mutex> lock(_mutex);
    if (ModuleNode* known = get_module(ip)) {
        known->registered();
        return;
    }
    // A readout board answers this manager's knock too, and may send it its
    // data: it is looked up once.
    if (left_alone(ip)) {
        count_drop(DropReason::board_unknown);
        return;
    }
    // As for the readout boards: a board is taken only into a running
    // acquisition, and while no other thread works on the configuration;
    // the next knock tries again.
    DAQmanager* manager = DAQmanager::theDAQmanager();
    RunManager* main = manager->find_runmanager("main");
    std::unique_lock<std::recursive_mutex> document(ConfigParser::theConfig()->document_mutex(), std::try_to_lock);
    if (!main || !document.owns_lock() || named_elsewhere(section_name(), ip)) {
        count_drop(DropReason::board_unknown);
        return;
    }
    const std::string name = node2name(ip, 1);
    if (Module* holder = manager->find_module(name)) {
        count_drop(DropReason::board_unknown);
        // Said once: the board's every datagram comes here.
        if (_clashes.insert(ip).second) {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "There is a module " << name << " already, " << module_holder(holder) << ": the trigger board "
                << ip << " gets none" << std::endl;
        }
        return;
    }
    auto* module = new TriggerModule(DAQid(name), static_cast<unsigned long>(port));
    module->set_board(this);
    main->addModule(module);
    _modules[ip] = Made{name, module};

    auto* board = new ModuleNode(ip, port);
    register_module(board);
    module->set_node(board);

    // The board's own section; else the one parsed last, while it serves no
    // board yet; else a new element for the board.
    ModuleParser* conf = find_conf_module(ip);
    if (!conf) {
        auto* last = dynamic_cast<TriggerModuleConf*>(find_conf_module(get_id()));
        if (last && !last->get_module())
            conf = last;
    }
    if (!conf) {
        find_module(ip, port);
        conf = find_conf_module(ip);
    }
    if (auto* trigger_conf = dynamic_cast<TriggerModuleConf*>(conf))
        trigger_conf->set_module(module);
    DAQcontroller::instance()->set_module_list();
}

ModuleNode* TriggerBoard::find_module(const std::string& ip, int port)
{
    const bool known = get_module(ip) != nullptr;
    if (find_board_element(section_name(), ip))
        return nullptr;
    if (xmlNodePtr element = new_board_element(section_name(), ip, port))
        parse_locked(element);
    if (known)
        return nullptr;
    auto* board = new ModuleNode(ip, port);
    register_module(board);
    return board;
}

} // namespace Ostrel
