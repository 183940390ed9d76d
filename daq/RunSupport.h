// What the run managers and the acquisition controller share: the settings
// they read from the configuration's sections, and their log lines.
#ifndef BRISKO_DAQ_RUNSUPPORT_H
#define BRISKO_DAQ_RUNSUPPORT_H

#include <string>

#include "ostrel/DAQid.h"
#include "ostrel/ModuleData.h"

class PluginParser;

namespace run_support {

// The settings of the "general" and "IO" sections. While no configuration
// is loaded (no handler registered) the sections' construction values hold.
bool ped_update();
int ped_period();
int monitor_buffer();
// The pedestal method (GeneralConfig::PedestalMethod).
int ped_method();
bool compression();
// The run file's size limit in bytes; 0, no limit.
unsigned long max_size();
// The "plugins" handler, or null while none is registered.
PluginParser* plugins();

// Marks the event record at the block's start as logged by a data-taking
// run manager: data type 0x2000 and the manager's event number.
void stamp_event(Ostrel::ModuleData* data, unsigned long event_number);

// One line on the framework log.
void log(int level, const std::string& text);
// "...destroying <class> <id>" at information level.
void log_destroying(const char* class_name, const Ostrel::DAQid& id);

} // namespace run_support

#endif
