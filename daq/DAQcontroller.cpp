#include "daq/DAQcontroller.h"

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "daq/GenModule.h"
#include "daq/GuiThread.h"
#include "daq/IdleCall.h"
#include "daq/MainWindowView.h"
#include "daq/RunSettings.h"
#include "daq/RunSupport.h"
#include "daq/TellumRunManager.h"
#include "data/Analysis.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/TellumData.h"

using run_support::log;

// ---- controller ------------------------------------------------------------

Ostrel::RunManager* DAQcontroller::builtin_factory(const std::string& type, const std::string& name)
{
    return TellumRunManager::new_manager(type, Ostrel::DAQid(name));
}

DAQcontroller* DAQcontroller::instance()
{
    static DAQcontroller controller;
    return &controller;
}

TellumRunManager* DAQcontroller::get_run_manager()
{
    return dynamic_cast<TellumRunManager*>(
        Ostrel::DAQmanager::theDAQmanager()->find_runmanager("main"));
}

void DAQcontroller::set_main_window(MainWindowView* w)
{
    window = w;
    if (w)
        set_module_list();
}

std::vector<std::string> DAQcontroller::module_ids() const
{
    std::vector<std::string> ids;
    for (const auto& entry : Ostrel::DAQmanager::theDAQmanager()->ModuleMap())
        if (dynamic_cast<GenModule*>(entry.second))
            ids.push_back(entry.first.str());
    return ids;
}

void DAQcontroller::set_module_list()
{
    if (!window.load())
        return;
    std::vector<std::string> ids = module_ids();
    // The run control of "main" follows its state; it reaches the window
    // with the list, on the GTK main thread, where the window is known to
    // be there.
    std::optional<Ostrel::RunState::StatusType> state;
    if (TellumRunManager* rm = get_run_manager())
        state = rm->GetStatus().get_status();
    tell_window(false, std::move(ids), std::move(state));
}

void DAQcontroller::tell_window(bool clear, std::vector<std::string> ids,
                               std::optional<Ostrel::RunState::StatusType> state)
{
    WindowCall call{++window_calls, clear, std::move(ids), std::move(state)};
    if (on_gui_thread())
        deliver(call);
    else
        idle_call([call = std::move(call)]() mutable { instance()->deliver(call); });
}

void DAQcontroller::deliver(WindowCall& call)
{
    // A later call has reached the window already: this one is out of date
    // (a module list of modules deleted since, say).
    if (call.number < delivered)
        return;
    delivered = call.number;
    MainWindowView* w = window.load();
    if (!w)
        return;
    if (call.clear) {
        w->clear_modules();
        return;
    }
    if (call.state)
        w->update_run_menu("main", *call.state);
    w->set_module_list(std::move(call.ids));
}

void DAQcontroller::setup_daq(int, char**)
{
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    TellumRunManager* rm = TellumRunManager::create_run_manager("data", "main");
    if (rm) {
        const bool update = RunSettings::current().ped_update();
        for (const auto& entry : mgr->ModuleMap()) {
            rm->addModule(entry.second);
            if (GenModule* g = dynamic_cast<GenModule*>(entry.second))
                if (Analysis* ana = g->get_analysis())
                    ana->DoPedestalUpdate(update);
        }
        rm->set_max_events(0);
    } else {
        log(Ostrel::LOG_ERROR, "No run manager main could be made: the modules take part in no run");
    }
    if (!mgr->isRunning())
        mgr->StartRun(4);
}

void DAQcontroller::reset_daq()
{
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    // The program's own log text, spelled as it stands.
    log(Ostrel::LOG_INFO, "Reseting DAQ...");

    std::vector<Ostrel::DAQid> names;
    for (const auto& entry : mgr->RunMmap())
        names.push_back(entry.first);
    // Every run ends, and writes its file, while all the modules and run
    // managers it may use are still there.
    for (const Ostrel::DAQid& name : names)
        if (Ostrel::RunManager* rm = mgr->find_runmanager(name))
            rm->shutdown();
    for (const Ostrel::DAQid& name : names) {
        Ostrel::RunManager* rm = mgr->find_runmanager(name);
        if (!rm)
            continue;
        log(Ostrel::LOG_INFO, "Clean up RunManager " + rm->get_id().str());
        log(Ostrel::LOG_INFO, "...Number of modules: " + std::to_string(rm->countModules()));
        delete rm;
    }

    for (const std::string& id : module_ids())
        delete dynamic_cast<GenModule*>(mgr->find_module(id));

    if (window.load())
        tell_window(true, {});
}

void DAQcontroller::stop_daq()
{
    // The program's own log text, spelled as it stands.
    log(Ostrel::LOG_INFO, "Shuting down the DAQ");
    reset_daq();
}

// ---- monitor queue ---------------------------------------------------------

TellumMonitor::TellumMonitor(TellumRunManager* rm, size_t capacity)
    : Ostrel::DataQueue(capacity), run_manager(rm)
{
}

TellumMonitor::~TellumMonitor()
{
    stop();
}

int TellumMonitor::user_run(Ostrel::ModuleData* event)
{
    uint16_t word = 0;
    if (event->size() >= sizeof(word))
        std::memcpy(&word, event->data(), sizeof(word));
    TellumData* record = TellumData::from(event);
    // A block too short for a record header is no event either.
    if (word != TellumData::MARKER || !record) {
        std::ostringstream text;
        text << "Wrong Event " << std::hex << word;
        log(Ostrel::LOG_ERROR, text.str());
        return 1;
    }
    const Ostrel::DAQid id(static_cast<unsigned short>(record->mod_id));
    Ostrel::Module* module = Ostrel::DAQmanager::theDAQmanager()->find_module(id);
    if (!module) {
        std::cout << "Module " << id << " does not exist " << std::endl;
        return 1;
    }
    if (GenModule* g = dynamic_cast<GenModule*>(module))
        if (Analysis* ana = g->get_analysis()) {
            ana->Fill(record);
            module->get_status().add_monitored();
        }
    return 1;
}
