#include "daq/RunManagers.h"

#include "daq/DataLogger.h"
#include "daq/RunSettings.h"
#include "daq/RunSupport.h"
#include "data/Analysis.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/TellumData.h"

namespace {

const char* const saved_update_flag = "__update_pedestals__";

// The module of that id when it is one of ours.
GenModule* gen_module(const Ostrel::DAQid& id)
{
    return dynamic_cast<GenModule*>(Ostrel::DAQmanager::theDAQmanager()->find_module(id));
}

} // namespace

// ---- data ------------------------------------------------------------------

DataRunManager::DataRunManager(const Ostrel::DAQid& id)
    : TellumRunManager(id), next_pedestal_time(0.0)
{
    run_type = RunType::Data;
}

DataRunManager::~DataRunManager()
{
    retire();
    run_support::log_destroying("DataRunManager", get_id());
}

void DataRunManager::PrepareForRun()
{
    next_pedestal_time = RunSettings::current().ped_period();
    TellumRunManager::PrepareForRun();
}

int DataRunManager::writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data)
{
    run_support::stamp_event(data, get_event_number());
    return TellumRunManager::writeData(id, data);
}

int DataRunManager::EndOfEvent()
{
    TellumRunManager::EndOfEvent();
    const double now = run_time();
    if (now < next_pedestal_time)
        return 0;
    // The period is read when pedestals are due, and without a period once
    // a second (it may be set during the run), rather than for every event.
    const int period = RunSettings::current().ped_period();
    if (period < 1) {
        next_pedestal_time = now + 1.0;
        return 0;
    }
    with_logger([](DataLogger* logger) { logger->writePedestals(); });
    next_pedestal_time = now + period;
    return 0;
}

double DataRunManager::run_time()
{
    return get_status().time();
}

// ---- internal trigger ------------------------------------------------------

IntTrgRunManager::IntTrgRunManager(const Ostrel::DAQid& id) : TellumRunManager(id)
{
    run_type = RunType::IntTrg;
    // The analyses are filled on the run thread, event by event.
    set_monitor(nullptr);
}

IntTrgRunManager::~IntTrgRunManager()
{
    retire();
    run_support::log_destroying("IntTrgRunManager", get_id());
}

void IntTrgRunManager::Trigger()
{
    for (Ostrel::Module* m : modules())
        if (GenModule* g = dynamic_cast<GenModule*>(m))
            g->Trigger();
}

int IntTrgRunManager::writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data)
{
    GenModule* module = gen_module(id);
    if (!module || !get_logger())
        return 0;
    Analysis* ana = module->get_analysis();
    TellumData* record = TellumData::from(data);
    if (!ana || !record)
        return 0;
    ana->Fill(record);
    if (!(ana->max_pulse() > 3.5))
        return 0;
    record->record_type = TellumData::EVENT_RECORD;
    record->data_type = static_cast<uint16_t>(module->get_data_type());
    // The whole record, as the logger takes a block without a stream
    // descriptor: written when something of it went into the file.
    long written = -1;
    with_logger([&](DataLogger* logger) { written = logger->write_record(data->data(), data->size()); });
    return written > 0 ? 1 : 0;
}

// ---- pedestal --------------------------------------------------------------

PedestalRunManager::PedestalRunManager(const Ostrel::DAQid& id) : IntTrgRunManager(id)
{
    run_type = RunType::Pedestal;
}

PedestalRunManager::~PedestalRunManager()
{
    retire();
    run_support::log_destroying("PedestalRunManager", get_id());
}

void PedestalRunManager::PrepareForRun()
{
    // Before the modules prepare: a module may put placeholders in for the
    // run.
    found.clear();
    for (Ostrel::Module* m : modules())
        if (GenModule* g = dynamic_cast<GenModule*>(m))
            found[g->get_id().str()] = {g->copy_list("pedestal"), g->copy_list("noise")};
    TellumRunManager::PrepareForRun();
    for (Ostrel::Module* m : modules()) {
        GenModule* g = dynamic_cast<GenModule*>(m);
        if (!g)
            continue;
        g->reset_monitor_data();
        Analysis* ana = g->get_analysis();
        if (!ana)
            continue;
        ana->reset_pedestals();
        // The run computes pedestals whatever the setting; the end of the run
        // puts the setting back.
        const bool updating = ana->DoingPedestalUpdate();
        auto* saved = g->has_par(saved_update_flag)
                          ? dynamic_cast<Ostrel::Par<bool>*>(g->get_par(saved_update_flag))
                          : nullptr;
        if (saved)
            saved->set_value(updating, false);
        else
            g->add_par(saved_update_flag, new Ostrel::Par<bool>(updating));
        ana->DoPedestalUpdate(true);
    }
}

int PedestalRunManager::writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data)
{
    GenModule* module = gen_module(id);
    Analysis* ana = module ? module->get_analysis() : nullptr;
    TellumData* record = TellumData::from(data);
    if (!ana || !record)
        return 0;
    ana->Fill(record);
    return 1;
}

void PedestalRunManager::EndOfRun()
{
    for (Ostrel::Module* m : modules()) {
        GenModule* g = dynamic_cast<GenModule*>(m);
        if (!g)
            continue;
        Analysis* ana = g->get_analysis();
        const auto before = found.find(g->get_id().str());
        if (ana && ana->get_n_sampled() == 0 && before != found.end()) {
            // Stopped before its first event: nothing was measured.
            g->set_par("pedestal", before->second.first, false);
            g->set_par("noise", before->second.second, false);
            g->copy_pedestals();
        } else {
            run_support::log(Ostrel::LOG_INFO, "Updating pedestals for " + g->get_id().str());
            g->update_pedestals();
        }
        if (ana && g->has_par(saved_update_flag)) {
            if (auto* saved = dynamic_cast<Ostrel::Par<bool>*>(g->get_par(saved_update_flag))) {
                std::lock_guard<std::recursive_mutex> lock(saved->mutex());
                ana->DoPedestalUpdate(saved->get_value());
            }
        }
    }
    IntTrgRunManager::EndOfRun();
}

// ---- pulse generator -------------------------------------------------------

PulseGenerator::PulseGenerator() : burst(false) {}

PulseGenerator::~PulseGenerator() = default;

bool PulseGenerator::check_status()
{
    return true;
}

void PulseGenerator::activate_burst(bool flag)
{
    burst = flag;
}

void PulseGenerator::Reset() {}

bool PulseGenerator::operator!()
{
    return true;
}

void PulseGenerator::define_pulse(double, double, double) {}

void PulseGenerator::set_pulse(double) {}

void PulseGenerator::set_frequency(double) {}

void PulseGenerator::define_burst(double, double, int, double) {}

void PulseGenerator::trigger() {}

void PulseGenerator::set_delay(double) {}

void PulseGenerator::set_trigger_type(TriggerType) {}

void PulseGenerator::enable_output() {}

void PulseGenerator::disable_output() {}

// ---- pulse -----------------------------------------------------------------

PulseRunManager::PulseRunManager(const Ostrel::DAQid& id, PulseGenerator* pulser)
    : TellumRunManager(id), amplitude(0.0), _delay(0.0), _rate(100.0), _burst(false),
      generator(nullptr)
{
    run_type = RunType::Pulse;
    set_pulse_generator(pulser);
}

PulseRunManager::~PulseRunManager()
{
    retire();
    run_support::log_destroying("PulseRunManager", get_id());
    delete generator;
}

void PulseRunManager::set_pulse_generator(PulseGenerator* pulser)
{
    if (!pulser)
        pulser = new PulseGenerator();
    if (pulser == generator)
        return;
    delete generator;
    generator = pulser;
    generator->Reset();
}

void PulseRunManager::set_pulse(double a)
{
    amplitude = a;
    generator->set_pulse(a);
}

void PulseRunManager::setup_pulse(double a, int n)
{
    if (n <= 0)
        n = 1000;
    const bool with_burst = _burst.load();
    const int cycles = with_burst ? n : 1;
    const double per_second = _rate.load();
    const double period = per_second > 0 ? 1.0 / per_second : 0.0;
    const double width = 0.5 * period;
    const double length = cycles * period;
    set_pulse(a);
    generator->disable_output();
    if (with_burst)
        generator->define_burst(_delay.load(), per_second, cycles, length);
    else
        generator->define_pulse(period, width, _delay.load());
    generator->activate_burst(with_burst);
    generator->enable_output();
}

void PulseRunManager::send_pulse()
{
    generator->trigger();
}

void PulseRunManager::set_output(bool on)
{
    if (on)
        generator->enable_output();
    else
        generator->disable_output();
}

void PulseRunManager::EndOfRun()
{
    generator->disable_output();
    TellumRunManager::EndOfRun();
}
