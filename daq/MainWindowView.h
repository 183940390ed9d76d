// What the acquisition controller tells the main window.
#ifndef BRISKO_DAQ_MAINWINDOWVIEW_H
#define BRISKO_DAQ_MAINWINDOWVIEW_H

#include <string>
#include <vector>

#include "ostrel/RunState.h"

// The main window as the controller sees it (DAQcontroller::set_main_window).
// It is declared here, with the acquisition, so that the controller reaches
// the window without a header of the window code; the window implements it.
// The calls come on the GTK main thread only: the controller posts them
// there when it is called from another thread, and drops a posted call that
// a later one has overtaken. A window unregisters itself
// (set_main_window(nullptr)) before it goes.
class MainWindowView {
public:
    virtual ~MainWindowView() = default;
    // The ids of the modules to show, in id order: keep them and rebuild
    // the module panels from them.
    virtual void set_module_list(std::vector<std::string> ids) = 0;
    // The modules are gone: remove their panels.
    virtual void clear_modules() = 0;
    // The run control of the run manager `id` is to show `state`: the
    // window looks the control up by id, and does nothing when it has gone.
    virtual void update_run_menu(const std::string& id, Ostrel::RunState::StatusType state) = 0;

    // The one-second status refresh. A configuration reload stops it before
    // the configuration is touched and starts it again afterwards; stopping
    // it when it is stopped does nothing, and so does starting it when it
    // runs.
    virtual void stop_timer() {}
    virtual void start_timer() {}
    // The configuration was read again and the acquisition set up anew
    // (the run manager "main" and its modules are new objects; the module
    // list has reached set_module_list just before): bring back what the
    // window holds of the old ones, the observer of "main" and the run
    // controls.
    virtual void acquisition_set_up() {}
};

#endif
