// The common base of modules and run managers.
#ifndef OSTREL_DAQOBJECT_H
#define OSTREL_DAQOBJECT_H

#include "ostrel/DAQid.h"
#include "ostrel/Parameter.h"
#include "ostrel/RunState.h"

namespace Ostrel {

class DAQObject : public ParameterHolder {
public:
    explicit DAQObject(const DAQid& id);
    ~DAQObject() override;

    const DAQid& get_id() const { return _id; }

    RunState& get_status() { return _status; }
    const RunState& get_status() const { return _status; }
    RunState GetStatus() const { return _status; }

    using ParameterHolder::add_par;
    // Adds the parameter with this object's id as its owner.
    Parameter* add_par(const std::string& name, Parameter* p) override;

    // Monitoring data of the object: none by default (size 0, data null).
    virtual int get_monitor_data(int& size, char** data);
    virtual void reset_monitor_data();

private:
    DAQid _id;
    RunState _status;
};

} // namespace Ostrel

#endif
