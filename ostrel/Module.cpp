#include "ostrel/Module.h"

#include "ostrel/DAQmanager.h"
#include "ostrel/RunManager.h"

namespace Ostrel {

Module::Module(const DAQid& id) : DAQObject(id)
{
    DAQmanager::theDAQmanager()->register_module(this);
}

Module::~Module()
{
    UnRegisterDAQ(true);
    DAQmanager::theDAQmanager()->unregister_module(this);
}

std::string Module::get_data_format()
{
    return std::string();
}

int Module::interpret_data_format(const char*, int, char** rows)
{
    if (rows)
        *rows = nullptr;
    return 0;
}

void Module::RegisterDAQ(RunCommand* command)
{
    if (_command && _command != command)
        _command->removeObserver(this);
    _command = command;
    if (_command)
        _command->addObserver(this);
}

void Module::UnRegisterDAQ(bool forget)
{
    if (_command)
        _command->removeObserver(this);
    if (forget)
        _command = nullptr;
}

void Module::in_local()
{
    UnRegisterDAQ(false);
    _local = true;
}

void Module::in_global(RunCommand* command)
{
    RegisterDAQ(command ? command : _command);
    _local = false;
}

void Module::update(Observable* o, Argument* arg)
{
    RunCommand* cmd = dynamic_cast<RunCommand*>(o);
    if (!cmd) {
        ParameterHolder::update(o, arg);
        return;
    }
    Arg<int>* a = dynamic_cast<Arg<int>*>(arg);
    if (!a)
        return;
    switch (a->get_value()) {
    case RunCommand::GetReady: GetReady(); break;
    case RunCommand::PrepareForRun: PrepareForRun(); break;
    case RunCommand::Start: Start(cmd->run_number()); break;
    case RunCommand::Stop: Stop(cmd->run_number()); break;
    case RunCommand::Pause: Pause(); break;
    case RunCommand::Trigger: Trigger(); break;
    case RunCommand::Continue: Continue(); break;
    case RunCommand::Reset: Reset(); break;
    case RunCommand::Flush: flush(); break;
    default: break;
    }
}

void Module::observable_deleted(Observable* o)
{
    if (o == _command)
        _command = nullptr;
    else
        ParameterHolder::observable_deleted(o);
}

} // namespace Ostrel
