// What the plug-in's exported routines do (FenrowExports.cpp exports them
// with C linkage): the module hooks that create the board managers, and the
// interrupt routines that install the framework trigger polling the board
// socket.
#ifndef BRISKO_FENROW_FENROWPLUGIN_H
#define BRISKO_FENROW_FENROWPLUGIN_H

#include <atomic>

#include "ostrel/DAQmanager.h"

class SectionParser;

namespace Ostrel {

class Fenrow;

// The framework trigger of runs with interrupts: an event cycle starts when
// a datagram waits on the board socket. Without a board manager (it has
// gone) it reports no event, after the usual short wait.
class FenrowTrigger : public DAQTrigger {
public:
    explicit FenrowTrigger(Fenrow* manager) : _manager(manager) {}

    bool operator()() override;
    int reset();
    void start() {}
    void stop() {}
    void enableInterrupts() {}
    void disableInterrupts() {}

    Fenrow* manager() const { return _manager.load(); }
    void set_manager(Fenrow* manager) { _manager = manager; }

private:
    std::atomic<Fenrow*> _manager;
};

} // namespace Ostrel

namespace fenrow_plugin {

// create_Fenrow: the board manager with its socket and server thread, kept
// as the plug-in's board manager. ConfigException when the socket cannot be
// set up.
SectionParser* create_fenrow();
// create_TriggerBoard: the trigger board manager.
SectionParser* create_trigger_board();

// 0 with the trigger installed; -1, after a message, while there is no
// board manager to poll.
int enable_interrupts();
void disable_interrupts();
void reset_interrupts();
void start_interrupts();
void stop_interrupts();

// The routines the plug-in exports, ended by a null pointer.
const char** exported_symbols();

// The plug-in's board manager and trigger (null when none), for tests.
Ostrel::Fenrow* board_manager();
Ostrel::FenrowTrigger* trigger();

// Called by a board manager that is going: the plug-in forgets it, and its
// trigger polls it no more.
void forget_manager(Ostrel::Fenrow* manager);

} // namespace fenrow_plugin

#endif
