// What the run managers and the acquisition controller share: the marking of
// logged events and their log lines. Their settings are RunSettings.
#ifndef BRISKO_DAQ_RUNSUPPORT_H
#define BRISKO_DAQ_RUNSUPPORT_H

#include <string>

#include "ostrel/DAQid.h"
#include "ostrel/ModuleData.h"

namespace run_support {

// Marks the event record at the block's start as logged by a data-taking
// run manager: data type 0x2000 and the manager's event number.
void stamp_event(Ostrel::ModuleData* data, unsigned long event_number);

// One line on the framework log.
void log(int level, const std::string& text);
// "...destroying <class> <id>" at information level.
void log_destroying(const char* class_name, const Ostrel::DAQid& id);

} // namespace run_support

#endif
