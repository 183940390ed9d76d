// The board plug-in's exported routines: the configuration names them in its
// plugins section (module hooks and interrupt hooks), and the plug-in
// settings dialog lists them from tellum_get_exported_symbols.
#include "config/SectionParser.h"
#include "fenrow/FenrowPlugin.h"
#include "ostrel/Log.h"

extern "C" {

SectionParser* create_Fenrow()
{
    return fenrow_plugin::create_fenrow();
}

SectionParser* create_TriggerBoard()
{
    return fenrow_plugin::create_trigger_board();
}

int enable_interrupts()
{
    return fenrow_plugin::enable_interrupts();
}

void disable_interrupts()
{
    fenrow_plugin::disable_interrupts();
}

void reset_interrupts()
{
    fenrow_plugin::reset_interrupts();
}

void start_interrupts()
{
    fenrow_plugin::start_interrupts();
}

void stop_interrupts()
{
    fenrow_plugin::stop_interrupts();
}

const char** tellum_get_exported_symbols()
{
    return fenrow_plugin::exported_symbols();
}

} // extern "C"

namespace {

__attribute__((constructor)) void __init__lib__()
{
    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << "### Loading Fenrow module version " << "0.3.2-1" << " (" << __DATE__ << " " << __TIME__ << ")"
        << std::endl;
}

__attribute__((destructor)) void __close__lib__()
{
    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << "### Unloading Fenrow..." << std::endl;
}

} // namespace
