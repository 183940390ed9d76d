// The scan run manager: one run over a list of scan points.
#ifndef BRISKO_DAQ_SCANRUNMANAGER_H
#define BRISKO_DAQ_SCANRUNMANAGER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "daq/RunManagers.h"
#include "daq/Scan.h"
#include "ostrel/Thread.h"

// Decides when a scan point is finished.
class NewPoint {
public:
    NewPoint() = default;
    virtual ~NewPoint();
    // A new point is due.
    virtual bool operator()() = 0;
    virtual void reset() {}
    virtual void next() {}
    virtual void set_max_value(double) {}
    virtual double get_max_value() { return 0; }
    virtual double get_value() { return 0; }
    bool has_started() const { return started; }
    void start() { started = true; }

protected:
    bool started = false;
};

// A point lasts a number of triggers.
class EventCntr : public NewPoint {
public:
    explicit EventCntr(int n);
    bool operator()() override;
    void reset() override;
    void next() override;
    void set_max_value(double v) override;
    double get_max_value() override;
    double get_value() override;

private:
    int max;
    int count;
};

// A point lasts a number of seconds.
class EventTimer : public NewPoint {
public:
    explicit EventTimer(double seconds);
    bool operator()() override;
    void reset() override;
    void set_max_value(double v) override;
    double get_max_value() override;
    double get_value() override;

private:
    double max_time;
    Ostrel::DAQTimer timer;
};

class ScanRunManager : public PulseRunManager {
public:
    explicit ScanRunManager(const Ostrel::DAQid& id);
    ~ScanRunManager() override;

    // Events (or seconds in time mode) per point and the variables; the
    // points are every combination of the variables' values. A scan of more
    // points than a scan may have is logged and refused (false), and the
    // scan set before stays.
    bool set_scan_list(int n, const ScanPoint::VarList& variables);
    void is_time(bool flag) { time_mode = flag; }
    bool is_time() const { return time_mode; }
    int nevt_per_point() const { return nevts; }
    int get_n_var() const;
    // Throws std::out_of_range for an index outside 0 .. get_n_var() - 1.
    const ScanVar& get_var(int i) const;
    // The current point; the first once the scan has passed its last (an
    // empty point for a scan without points).
    const ScanPoint& get_current() const;
    // Replaces the point policy from the next run on; owned. A run going on
    // keeps the policy it started with.
    void set_next_point_handler(NewPoint* policy);

    void PrepareForRun() override;
    void Trigger() override;
    // A pass of the run loop that took an event: the event counts towards
    // the current point. Passes without one count for nothing.
    int EndOfEvent() override;
    bool CheckEndOfRun() override;
    void EndOfRun() override;
    int writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data) override;

    // Hooks for derived managers; nothing here.
    virtual void init_run();
    virtual void new_trigger();
    virtual void new_point();

protected:
    void set_new_values();

private:
    bool past_last_point() const { return current.load() >= points.size(); }

    int nevts;
    bool time_mode;
    int point_index;
    // Events the current point has taken; run thread only.
    long point_events = 0;
    ScanPoint::VarList variables;
    std::vector<ScanPoint> points;
    std::atomic<size_t> current;   // read by the loggers and the GUI
    // The run's policy, used on the run thread only; it may be the user
    // handler, which stays alive while either holds it.
    std::shared_ptr<NewPoint> policy;
    std::mutex user_policy_mutex;
    std::shared_ptr<NewPoint> user_policy;
    ParScanPoint* scanpoint;
};

#endif
