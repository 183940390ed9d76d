#include "daq/ScanRunManager.h"

#include <stdexcept>

#include "daq/DataLogger.h"
#include "daq/RunSupport.h"
#include "ostrel/Log.h"

namespace {

// The amplitude of a point without a Pulse variable.
constexpr double default_amplitude = 0.25;

} // namespace

// ---- point policies --------------------------------------------------------

NewPoint::~NewPoint() = default;

EventCntr::EventCntr(int n) : max(n), count(0) {}

bool EventCntr::operator()()
{
    // Without a count every trigger makes a point, rather than a division
    // by zero.
    return max <= 0 || count % max == 0;
}

void EventCntr::reset()
{
    count = 0;
}

void EventCntr::next()
{
    ++count;
}

void EventCntr::set_max_value(double v)
{
    max = static_cast<int>(v);
}

double EventCntr::get_max_value()
{
    return max;
}

double EventCntr::get_value()
{
    return count;
}

EventTimer::EventTimer(double seconds) : max_time(seconds) {}

bool EventTimer::operator()()
{
    if (!has_started()) {
        start();
        return true;
    }
    return timer.elapsed() > max_time;
}

void EventTimer::reset()
{
    timer.reset();
    timer.start();
}

void EventTimer::set_max_value(double v)
{
    max_time = v;
}

double EventTimer::get_max_value()
{
    return max_time;
}

double EventTimer::get_value()
{
    return timer.elapsed();
}

// ---- scan run manager ------------------------------------------------------

ScanRunManager::ScanRunManager(const Ostrel::DAQid& id)
    : PulseRunManager(id, nullptr), nevts(1000), time_mode(false), point_index(-1), current(0),
      scanpoint(nullptr)
{
    run_type = RunType::Scan;
}

ScanRunManager::~ScanRunManager()
{
    retire();
    run_support::log_destroying("ScanRunManager", get_id());
}

bool ScanRunManager::set_scan_list(int n, const ScanPoint::VarList& vars)
{
    const std::string too_large = ScanPoint::size_error(vars);
    if (!too_large.empty()) {
        run_support::log(Ostrel::LOG_ERROR, "The scan is not set: " + too_large);
        return false;
    }
    point_index = -1;
    variables = vars;
    nevts = n;
    points.clear();
    points.shrink_to_fit();
    // No more than max_scan_points, as checked above.
    points.reserve(static_cast<size_t>(ScanPoint::grid_points(variables)));
    ScanPoint::FillList(variables.begin(), variables.end(), ScanPoint(), points);
    current = 0;
    set_max_events(0);
    const ScanPoint first = points.empty() ? ScanPoint() : points.front();
    // A second list reuses the parameter, so that those who observe it keep
    // seeing the points.
    if (scanpoint) {
        scanpoint->set_value(first, false);
    } else {
        scanpoint = new ParScanPoint(first);
        add_par("scanpoint", scanpoint);
    }
    return true;
}

int ScanRunManager::get_n_var() const
{
    return static_cast<int>(variables.size());
}

const ScanVar& ScanRunManager::get_var(int i) const
{
    if (i < 0 || i >= get_n_var())
        throw std::out_of_range("ScanRunManager::get_var: no variable " + std::to_string(i));
    return variables[static_cast<size_t>(i)];
}

const ScanPoint& ScanRunManager::get_current() const
{
    static const ScanPoint none;
    if (points.empty())
        return none;
    const size_t c = current.load();
    return c < points.size() ? points[c] : points.front();
}

void ScanRunManager::set_next_point_handler(NewPoint* handler)
{
    std::lock_guard<std::mutex> lock(user_policy_mutex);
    if (handler != user_policy.get())
        user_policy.reset(handler);
}

void ScanRunManager::PrepareForRun()
{
    PulseRunManager::PrepareForRun();
    current = 0;
    {
        std::lock_guard<std::mutex> lock(user_policy_mutex);
        if (user_policy) {
            user_policy->set_max_value(nevts);
            policy = user_policy;
        } else if (time_mode) {
            policy = std::make_shared<EventTimer>(nevts);
        } else {
            policy = std::make_shared<EventCntr>(nevts);
        }
    }
    set_event_number(0);
    setup_pulse(get_pulse(), 2 * nevts);
    point_index = 0;
    point_events = 0;
    init_run();
    policy->reset();
}

void ScanRunManager::Trigger()
{
    if (!policy)
        return;
    // The run loop asks on every pass, also on those that read no event:
    // the policy counts events (EndOfEvent), and a point that has none
    // yet is not over by its count, which is 0 then. By time it is.
    const bool due = (*policy)();
    const bool by_time = dynamic_cast<EventTimer*>(policy.get()) != nullptr;
    if (due && (point_index == 0 || by_time || point_events > 0)) {
        if (point_index > 0 && !past_last_point())
            ++current;
        else if (point_index == 0)
            current = 0;
        ++point_index;
        set_output(false);
        if (past_last_point())
            return;
        policy->reset();
        point_events = 0;
        with_logger([](DataLogger* logger) { logger->writeScanPoint(); });
        // The monitor thread finishes the previous point's events before the
        // modules move on.
        wait_for_monitor(true);
        run_command().for_each_observer([](Ostrel::Observer* o) {
            if (GenModule* g = dynamic_cast<GenModule*>(o)) {
                g->get_status().reset();
                g->get_status().start();
            }
        });
        set_output(true);
        set_new_values();
        new_point();
    }
    PulseRunManager::Trigger();
    send_pulse();
    new_trigger();
}

int ScanRunManager::EndOfEvent()
{
    if (policy && point_index > 0 && !past_last_point()) {
        ++point_events;
        policy->next();
    }
    return PulseRunManager::EndOfEvent();
}

void ScanRunManager::set_new_values()
{
    ScanPoint& point = points[current.load()];
    if (scanpoint)
        scanpoint->set_value(point, true);
    run_command().for_each_observer([&point](Ostrel::Observer* o) {
        if (GenModule* g = dynamic_cast<GenModule*>(o))
            g->set_scan_point(point);
    });
    auto pulse = point.find_type(ScanVar::pulse);
    set_pulse(pulse != point.end() ? pulse->value() : default_amplitude);
    if (burst())
        send_pulse();
}

bool ScanRunManager::CheckEndOfRun()
{
    const bool base = PulseRunManager::CheckEndOfRun();
    return past_last_point() || base;
}

void ScanRunManager::EndOfRun()
{
    PulseRunManager::EndOfRun();
}

int ScanRunManager::writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data)
{
    run_support::stamp_event(data, get_event_number());
    return PulseRunManager::writeData(id, data);
}

void ScanRunManager::init_run() {}

void ScanRunManager::new_trigger() {}

void ScanRunManager::new_point() {}
