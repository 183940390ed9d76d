// The process-wide acquisition controller and the monitor queue of the run
// managers.
#ifndef BRISKO_DAQ_DAQCONTROLLER_H
#define BRISKO_DAQ_DAQCONTROLLER_H

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>

#include "ostrel/DataQueue.h"
#include "ostrel/RunState.h"

class MainWindowView;
class TellumRunManager;
namespace Ostrel {
class RunManager;
}

// Sets up the run manager "main" with every module after the configuration
// is read, and tears the acquisition down again.
class DAQcontroller {
public:
    static DAQcontroller* instance();
    // The built-in run-manager kinds (TellumRunManager::new_manager) as a
    // plug-in factory: the program's start-up installs it as the one the
    // configuration falls back on.
    static Ostrel::RunManager* builtin_factory(const std::string& type, const std::string& name);

    // The run manager "main", or null.
    TellumRunManager* get_run_manager();
    // The main window (on the GTK main thread; null when it goes). The
    // module list and the clearing of the panels reach it on that thread.
    void set_main_window(MainWindowView* window);
    MainWindowView* get_main_window() const { return window.load(); }
    void set_module_list();
    // The ids of the framework's modules that are ours (GenModule), in id
    // order: the modules the main window shows.
    std::vector<std::string> module_ids() const;
    // Creates the run manager "main" of type "data" with every module and
    // starts the framework's manager.
    void setup_daq(int argc, char** argv);
    // Deletes every run manager (every run ends and every run thread is
    // joined before the first is deleted) and then every module of ours.
    void reset_daq();
    void stop_daq();

private:
    DAQcontroller() = default;

    // One call to the main window: the module list, or the clearing of the
    // panels.
    struct WindowCall {
        unsigned long number;
        bool clear;
        std::vector<std::string> ids;
        std::optional<Ostrel::RunState::StatusType> state;   // of "main", when there is one
    };
    // Delivers at once on the GTK main thread, else posts it there.
    void tell_window(bool clear, std::vector<std::string> ids,
                     std::optional<Ostrel::RunState::StatusType> state = std::nullopt);
    void deliver(WindowCall& call);

    std::atomic<MainWindowView*> window{nullptr};
    // Calls to the window are numbered as they are made; the window gets
    // them in that order, and a posted call overtaken by a later one is
    // dropped (delivered: GUI thread only).
    std::atomic<unsigned long> window_calls{0};
    unsigned long delivered = 0;
};

// A run manager's monitor queue: its thread hands every event to the
// analysis of the module that produced it, which it finds by the record's
// module id.
class TellumMonitor : public Ostrel::DataQueue {
public:
    TellumMonitor(TellumRunManager* rm, size_t capacity);
    ~TellumMonitor() override;
    int user_run(Ostrel::ModuleData* event) override;

private:
    TellumRunManager* run_manager;
};

#endif
