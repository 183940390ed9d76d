#include "ostrel/DAQObject.h"

namespace Ostrel {

DAQObject::DAQObject(const DAQid& id) : _id(id), _status(id.str()) {}

DAQObject::~DAQObject() = default;

Parameter* DAQObject::add_par(const std::string& name, Parameter* p)
{
    return ParameterHolder::add_par(name, p, _id);
}

int DAQObject::get_monitor_data(int& size, char** data)
{
    size = 0;
    if (data)
        *data = nullptr;
    return 0;
}

void DAQObject::reset_monitor_data() {}

} // namespace Ostrel
