// What the acquisition controller tells the main window.
#ifndef BRISKO_GUI_MAINWINDOWVIEW_H
#define BRISKO_GUI_MAINWINDOWVIEW_H

#include <string>
#include <vector>

// The main window as the controller sees it (DAQcontroller::set_main_window).
// Both calls come on the GTK main thread only: the controller posts them
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
};

#endif
