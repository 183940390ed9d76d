// An observer of a run manager's run state for a window.
#ifndef BRISKO_GUI_RUNSTATECHANGED_H
#define BRISKO_GUI_RUNSTATECHANGED_H

#include "gui/GladeApp.h"
#include "daq/IdleCall.h"
#include "ostrel/Observer.h"
#include "ostrel/RunState.h"

// update() runs on the thread that changes the run state: it only posts the
// status with the window's id. On the GTK main thread the window is looked
// up by that id and, when it is still there, its update_state(status) runs.
template <class T>
class RunStateChanged : public Ostrel::Observer {
public:
    using StatusType = Ostrel::RunState::StatusType;

    // The window's id (GladeApp::window_id).
    explicit RunStateChanged(unsigned window) : window(window) {}
    ~RunStateChanged() override { stop_observing(); }

    void update(Ostrel::Observable*, Ostrel::Argument* arg) override
    {
        auto* status = dynamic_cast<Ostrel::Arg<StatusType>*>(arg);
        if (status)
            update_state(status->get_value());
    }

    // Posts the status for the window.
    void update_state(StatusType status)
    {
        struct Data {
            unsigned window;
            StatusType status;
            void operator()() const
            {
                if (T* w = dynamic_cast<T*>(GladeApp::find_window(window)))
                    w->update_state(status);
            }
        };
        idle_call(Data{window, status});
    }

private:
    const unsigned window;
};

#endif
