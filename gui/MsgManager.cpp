#include "gui/MsgManager.h"

#include <string>
#include <utility>

#include "gui/ParamSlider.h"
#include "gui/RunMenu.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/DAQObject.h"
#include "ostrel/Log.h"
#include "ostrel/Parameter.h"
#include "ostrel/RunState.h"

// Made when the library loads and never destroyed: framework threads may
// still notify while the process exits.
MsgManager* MsgManager::mngr = new MsgManager;

MsgManager* MsgManager::theMsgManager()
{
    return mngr;
}

MsgManager::MsgManager()
{
    Ostrel::DAQmanager::theDAQmanager()->addObserver(this);
}

MsgManager::~MsgManager() = default;

void MsgManager::update(Ostrel::Observable*, Ostrel::Argument* arg)
{
    auto* notice = dynamic_cast<Ostrel::Arg<Ostrel::DAQmanager::Notice>*>(arg);
    if (!notice || !notice->get_value().second)
        return;
    // Only the DAQObject part of a new or removed object may be used.
    auto* object = reinterpret_cast<Ostrel::DAQObject*>(notice->get_value().second);
    const char* what = nullptr;
    switch (notice->get_value().first) {
    case Ostrel::DAQmanager::nwModule: what = "adding module "; break;
    case Ostrel::DAQmanager::nwRunManager: what = "adding run manager "; break;
    case Ostrel::DAQmanager::rmModule: what = "removing module "; break;
    case Ostrel::DAQmanager::rmRunManager: what = "removing run manager "; break;
    default: return;
    }
    Ostrel::ostream os(Ostrel::LOG_INFO);
    os << "MsgManager: " << what << object->get_id().str() << std::endl;
    if (notice->get_value().first == Ostrel::DAQmanager::nwRunManager)
        object->get_status().addObserver(&state);
}

MsgManager::StateChanged::~StateChanged() = default;

void MsgManager::StateChanged::update(Ostrel::Observable* o, Ostrel::Argument* arg)
{
    auto* state = dynamic_cast<Ostrel::RunState*>(o);
    auto* status = dynamic_cast<Ostrel::Arg<Ostrel::RunState::StatusType>*>(arg);
    if (state && status)
        RunMenu::post_update(state->get_name(), status->get_value());
}

MsgManager::ParameterChanged::~ParameterChanged() = default;

void MsgManager::ParameterChanged::update(Ostrel::Observable* o, Ostrel::Argument* arg)
{
    Ostrel::ostream os(Ostrel::LOG_INFO);
    auto* par = dynamic_cast<Ostrel::Parameter*>(o);
    if (!par) {
        os << Ostrel::loglevel(Ostrel::LOG_ERROR)
           << "I got a Request of parameter change from a non-parameter"
           << Ostrel::loglevel(Ostrel::LOG_INFO) << std::endl;
        return;
    }
    const std::string key = par->get_id().str() + "/" + par->get_name();
    auto* value = dynamic_cast<Ostrel::Arg<int>*>(arg);
    os << "Parameter " << key << " changes to "
       << (value ? std::to_string(value->get_value()) : par->get_as_string()) << std::endl;
    if (value)
        ParamSlider::post_value(key, value->get_value());
}

MsgManager::ObjectAddedRemoved::~ObjectAddedRemoved() = default;

void MsgManager::ObjectAddedRemoved::update(Ostrel::Observable*, Ostrel::Argument*) {}
