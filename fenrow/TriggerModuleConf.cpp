#include "fenrow/TriggerModuleConf.h"

#include <cstdlib>
#include <vector>

#include <gtk/gtk.h>

#include "config/ConfigParser.h"
#include "fenrow/TriggerBoard.h"
#include "fenrow/windows/TrgBoardDialog.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"

namespace Ostrel {

namespace {

constexpr int inputs = 8;

} // namespace

TriggerModuleConf::TriggerModuleConf(TriggerModule* m)
    : module(nullptr), dialog(nullptr), operation(false), majority(1), mask(0)
{
    if (m) {
        module = m;
        module_id = m->get_id().str();
    }
}

TriggerModuleConf::~TriggerModuleConf() = default;

void TriggerModuleConf::set_module(TriggerModule* m)
{
    module = m;
    module_id = m ? m->get_id().str() : std::string();
    copy_to_module();
}

TriggerModule* TriggerModuleConf::get_module() const
{
    // The configuration deletes the modules before their sections.
    if (!module || DAQmanager::theDAQmanager()->find_module(module_id) != module)
        return nullptr;
    return module;
}

void TriggerModuleConf::copy_to_module()
{
    TriggerModule* m = get_module();
    if (!m)
        return;
    m->set_par<int>("majority", majority, false);
    m->set_par<int>("operation", operation ? 1 : 0, false);
    m->set_par<unsigned>("mask", mask, false);
}

void TriggerModuleConf::parse_node(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    set_id(config->get_attribute<std::string>(element, "name"));
    set_node(element);

    // A majority the board cannot hold is refused, and the section keeps
    // its own.
    const ElementNumber given = element_number(element, "majority", 1);
    if (given.outside(1, TRIGGER_MAX_MAJORITY)) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Trigger board " << get_id() << ", line " << given.line << ": "
            << TriggerModule::majority_refusal(given.text) << "; it stays " << majority << std::endl;
    } else {
        majority = static_cast<int>(given.value);
    }
    operation = config->get_value<int>(element, "operation", 0) != 0;
    if (xmlNodePtr bits = config->find_element(element, "mask")) {
        std::vector<int> values;
        config->get_array<int>(bits, values);
        mask = 0;
        for (int i = 0; i < inputs && i < static_cast<int>(values.size()); ++i)
            if (values[static_cast<std::size_t>(i)] != 0)
                mask |= 1u << i;
    } else {
        config->create_element(element, "mask");
        save_config();
    }
    copy_to_module();
}

void TriggerModuleConf::save_config()
{
    if (!node)
        return;
    int m_majority = majority;
    int m_operation = operation ? 1 : 0;
    unsigned m_mask = mask;
    if (TriggerModule* m = get_module()) {
        m_majority = m->get_majority();
        m_operation = m->get_operation();
        m_mask = m->get_mask();
    }
    ConfigParser* config = ConfigParser::theConfig();
    config->check_value<int>(node, "majority", m_majority);
    config->check_value<int>(node, "operation", m_operation);
    std::string text;
    for (int i = 0; i < inputs; ++i)
        text += (m_mask >> i & 1u) ? "1 " : "0 ";
    config->set_value<std::string>(node, "mask", text);
    save_common();
}

int TriggerModuleConf::handler_id() const
{
    return std::atoi(FenrowManager::node2name(get_id(), 1).c_str());
}

GtkWidget* TriggerModuleConf::config(const std::string&)
{
    if (dialog)
        gtk_window_present(GTK_WINDOW(dialog));
    else
        dialog = trg_board_dialog::open(handler_id());
    return dialog;
}

} // namespace Ostrel
