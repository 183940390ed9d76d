// The process-wide observer of the framework's manager: it logs the modules
// and run managers that come and go, lets the run menu of every new run
// manager follow its run state, and offers a parameter observer that moves
// the parameter sliders.
#ifndef BRISKO_GUI_MSGMANAGER_H
#define BRISKO_GUI_MSGMANAGER_H

#include "ostrel/Observer.h"

// Notices arrive on whatever thread the framework notifies from: the
// observers only log and post to the GUI thread.
class MsgManager : public Ostrel::Observer {
public:
    // Added to the run state of each new run manager: its run menu follows
    // the status.
    class StateChanged : public Ostrel::Observer {
    public:
        ~StateChanged() override;
        void update(Ostrel::Observable* o, Ostrel::Argument* arg) override;
    };
    // For whoever adds it to a module parameter: logs the change and moves
    // the slider registered under "<module id>/<parameter name>".
    class ParameterChanged : public Ostrel::Observer {
    public:
        ~ParameterChanged() override;
        void update(Ostrel::Observable* o, Ostrel::Argument* arg) override;
    };
    class ObjectAddedRemoved : public Ostrel::Observer {
    public:
        ~ObjectAddedRemoved() override;
        void update(Ostrel::Observable* o, Ostrel::Argument* arg) override;
    };

    static MsgManager* theMsgManager();
    void update(Ostrel::Observable* o, Ostrel::Argument* arg) override;

    StateChanged state;
    ParameterChanged parameter;
    ObjectAddedRemoved object;

private:
    MsgManager();
    ~MsgManager() override;
    static MsgManager* mngr;
};

#endif
