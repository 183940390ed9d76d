// Modules for the tests: they take no data. TestModule is a GenModule that
// records the commands it is sent and owns the analysis it is given;
// IdleModule is a framework module that is not one of ours.
#ifndef BRISKO_TESTS_TEST_MODULE_H
#define BRISKO_TESTS_TEST_MODULE_H

#include <string>
#include <vector>

#include "daq/GenModule.h"
#include "data/Analysis.h"
#include "ostrel/Module.h"

// The run-loop hooks of a module that does nothing.
template <class Base>
class Idle : public Base {
public:
    using Base::Base;
    int PrepareForRun() override { return 0; }
    int Start(int) override { return 0; }
    int Stop(int) override { return 0; }
    int Pause() override { return 0; }
    int Continue() override { return 0; }
    int Reset() override { return 0; }
    int GetReady() override { return 0; }
    int Trigger() override { return 0; }
    int flush() override { return 0; }
    bool hasData() override { return false; }
    Ostrel::ModuleData* getData() override { return nullptr; }
};

using IdleModule = Idle<Ostrel::Module>;

class TestModule : public Idle<GenModule> {
public:
    TestModule(const Ostrel::DAQid& id, Analysis* analysis = nullptr, unsigned long address = 0,
               int data_type = 0)
        : Idle<GenModule>(id, address), data_type(data_type)
    {
        set_analysis(analysis);
    }
    ~TestModule() override { delete get_analysis(); }

    int get_data_type() override { return data_type; }
    void parse_command(const std::string& text) override { commands.push_back(text); }

    std::vector<double>& pedestals() { return get_par_value<std::vector<double>>("pedestal"); }
    std::vector<double>& noises() { return get_par_value<std::vector<double>>("noise"); }

    int data_type;
    std::vector<std::string> commands;
};

#endif
