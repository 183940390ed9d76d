#include "daq/RunSettings.h"

#include <atomic>

#include "daq/DAQcontroller.h"

namespace {

std::atomic<const RunSettings*> in_force{nullptr};

// Never destroyed: run threads may still ask while the process exits.
const RunSettings& defaults()
{
    static const RunSettings* const d = new RunSettings;
    return *d;
}

} // namespace

RunSettings::~RunSettings() = default;

bool RunSettings::ped_update() const
{
    return true;
}

int RunSettings::ped_period() const
{
    return 0;
}

int RunSettings::monitor_buffer() const
{
    return 1024;
}

bool RunSettings::compression() const
{
    return false;
}

unsigned long RunSettings::max_size() const
{
    return 500000;
}

Ostrel::RunManager* RunSettings::create_run_manager(const std::string& type,
                                                    const std::string& name) const
{
    return DAQcontroller::builtin_factory(type, name);
}

DataLogger* RunSettings::create_logger(bool, int) const
{
    return nullptr;
}

void RunSettings::reset_interrupts() const {}

void RunSettings::hand_in(const RunSettings* settings)
{
    in_force = settings;
}

const RunSettings& RunSettings::current()
{
    const RunSettings* s = in_force.load();
    return s ? *s : defaults();
}
