#include "fenrow/FenrowPlugin.h"

#include <mutex>

#include <glib.h>

#include "config/SectionParser.h"
#include "fenrow/Fenrow.h"
#include "fenrow/TriggerBoard.h"
#include "fenrow/windows/ConfigBoardDialog.h"
#include "ostrel/Log.h"
#include "ostrel/Thread.h"

namespace {

// The plug-in's state: its board manager and its trigger. The routines run
// on the thread that parses the configuration or drives the run; a manager
// may go (with its configuration) on yet another.
struct PluginState {
    std::mutex mutex;
    Ostrel::Fenrow* manager = nullptr;
    Ostrel::FenrowTrigger* trigger = nullptr;
};

PluginState& state()
{
    static auto* s = new PluginState;
    return *s;
}

void info(const char* text)
{
    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << text << std::endl;
}

} // namespace

namespace Ostrel {

bool FenrowTrigger::operator()()
{
    if (Fenrow* m = _manager.load())
        return m->trigger();
    Ostrel::wait(0.001);
    return false;
}

int FenrowTrigger::reset()
{
    if (Fenrow* m = _manager.load())
        m->reset();
    return 0;
}

} // namespace Ostrel

namespace fenrow_plugin {

SectionParser* create_fenrow()
{
    g_log("Tellum", G_LOG_LEVEL_WARNING, "create_Fenrow");
    auto* manager = new Ostrel::Fenrow;
    const int rc = manager->init_server();
    if (rc < 0) {
        {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "Fenrow: could not setup socket. rc=" << rc << std::endl;
        }
        delete manager;
        throw ConfigException("Fenrow: Could not setup socket");
    }
    {
        PluginState& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        s.manager = manager;
        if (s.trigger)
            s.trigger->set_manager(manager);
    }
    // With windows, boards the configuration does not know are defined by
    // the operator.
    ConfigBoardDialog::install();
    manager->start_thread();
    return manager;
}

SectionParser* create_trigger_board()
{
    return Ostrel::TriggerBoard::create();
}

int enable_interrupts()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    info("TellumTriger: Enabling Interrupts");
    if (!s.manager) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Fenrow: no board manager to take interrupts from; is create_Fenrow the module hook of a "
               "plugin?"
            << std::endl;
        return -1;
    }
    if (!s.trigger)
        s.trigger = new Ostrel::FenrowTrigger(s.manager);
    Ostrel::DAQmanager::theDAQmanager()->set_trigger(s.trigger);
    return 0;
}

void disable_interrupts()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.trigger)
        return;
    info("TellumTrigger: Disabling Interrupts");
    Ostrel::DAQmanager* daq = Ostrel::DAQmanager::theDAQmanager();
    // Another plug-in's trigger stays; ours goes once no run loop is in it.
    if (daq->get_trigger() == s.trigger)
        daq->set_trigger(nullptr);
    delete s.trigger;
    s.trigger = nullptr;
}

void reset_interrupts()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.trigger)
        s.trigger->reset();
}

void start_interrupts()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.trigger)
        return;
    info("Start  interrupts");
    s.trigger->start();
}

void stop_interrupts()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.trigger)
        return;
    info("Stop interrupts");
    s.trigger->stop();
}

const char** exported_symbols()
{
    static const char* symbols[] = {"create_Fenrow",   "enable_interrupts", "disable_interrupts",
                                    "reset_interrupts", "start_interrupts",  "stop_interrupts",
                                    "create_TriggerBoard", nullptr};
    return symbols;
}

Ostrel::Fenrow* board_manager()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.manager;
}

Ostrel::FenrowTrigger* trigger()
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.trigger;
}

void forget_manager(Ostrel::Fenrow* manager)
{
    PluginState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.manager == manager)
        s.manager = nullptr;
    if (s.trigger && s.trigger->manager() == manager) {
        s.trigger->set_manager(nullptr);
        // Installing the trigger again returns once no run loop is inside
        // it, so none still polls the manager that goes.
        Ostrel::DAQmanager* daq = Ostrel::DAQmanager::theDAQmanager();
        daq->set_trigger(daq->get_trigger());
    }
}

} // namespace fenrow_plugin
