// The kinds of run manager: data, internal trigger, pedestal and pulse.
#ifndef BRISKO_DAQ_RUNMANAGERS_H
#define BRISKO_DAQ_RUNMANAGERS_H

#include <atomic>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "daq/TellumRunManager.h"

// Takes data for the run file and writes pedestals at a fixed period.
class DataRunManager : public TellumRunManager {
public:
    explicit DataRunManager(const Ostrel::DAQid& id);
    ~DataRunManager() override;

    void PrepareForRun() override;
    int writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data) override;
    int EndOfEvent() override;

protected:
    // Seconds of run time, by which pedestals are due.
    virtual double run_time();

private:
    double next_pedestal_time;   // seconds of run time
};

// Triggers the modules itself and keeps only events with a large pulse.
class IntTrgRunManager : public TellumRunManager {
public:
    explicit IntTrgRunManager(const Ostrel::DAQid& id);
    ~IntTrgRunManager() override;

    void Trigger() override;
    int writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data) override;
};

// Measures pedestals and noise without writing a file.
class PedestalRunManager : public IntTrgRunManager {
public:
    explicit PedestalRunManager(const Ostrel::DAQid& id);
    ~PedestalRunManager() override;

    void PrepareForRun() override;
    int writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data) override;
    void EndOfRun() override;

private:
    // Each module's pedestals and noise as the run found them, by module:
    // a module the run took no event of gets them back.
    std::map<std::string, std::pair<std::vector<double>, std::vector<double>>> found;
};

// A pulse generator; this one does nothing, which is what a pulse run uses
// when it is given none.
class PulseGenerator {
public:
    enum TriggerType { Immediate = 0, External = 1, Bus = 2 };

    PulseGenerator();
    virtual bool check_status();
    virtual ~PulseGenerator();
    virtual void activate_burst(bool flag);
    virtual void Reset();
    virtual bool operator!();
    virtual void define_pulse(double period, double width, double raise);
    virtual void set_pulse(double amplitude);
    virtual void set_frequency(double frequency);
    virtual void define_burst(double delay, double freq, int npulse, double period);
    virtual void trigger();
    virtual void set_delay(double delay);
    virtual void set_trigger_type(TriggerType type);
    virtual void enable_output();
    virtual void disable_output();

protected:
    bool burst;
    std::string error_string;
};

// Drives a pulse generator for calibration pulses; the base of the scan
// manager.
class PulseRunManager : public TellumRunManager {
public:
    // Takes ownership of the generator; a default one when none is given.
    explicit PulseRunManager(const Ostrel::DAQid& id, PulseGenerator* generator = nullptr);
    ~PulseRunManager() override;

    // Replaces the generator (null: one that does nothing) and resets it;
    // not while a run goes on.
    void set_pulse_generator(PulseGenerator* generator);
    PulseGenerator* get_pulse_generator() const { return generator; }
    void set_pulse(double amplitude);
    double get_pulse() const { return amplitude; }
    bool burst() const { return _burst; }
    void burst(bool flag) { _burst = flag; }
    double delay() const { return _delay; }
    void delay(double seconds) { _delay = seconds; }
    double rate() const { return _rate; }
    void rate(double per_second) { _rate = per_second; }
    // Defines the pulses of a run of n triggers (1000 for n <= 0): a burst
    // of n pulses, or single pulses; a rate of 0 or less gives period 0.
    void setup_pulse(double amplitude, int n);
    void send_pulse();
    void set_output(bool on);
    void EndOfRun() override;

private:
    // Set from the GUI thread, read by the run thread.
    std::atomic<double> amplitude;
    std::atomic<double> _delay;
    std::atomic<double> _rate;
    std::atomic<bool> _burst;
    PulseGenerator* generator;
};

#endif
