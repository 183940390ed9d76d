#include "ostrel/Exception.h"

namespace Ostrel {

Exception::Exception(const std::string& message) : _message(message) {}

Exception::~Exception() = default;

const char* Exception::what() const noexcept
{
    return new_message(_message.empty() ? std::string("Ostrel::Exception") : _message);
}

const char* Exception::new_message(const std::string& text) const noexcept
{
    try {
        _message = text;
    } catch (...) {
        return "Ostrel::Exception";
    }
    return _message.c_str();
}

ParameterNonExistent::ParameterNonExistent(const std::string& name)
    : Exception("Parameter " + name + " does not exist"), _name(name)
{
}

ParameterTypeDoesNotMatch::ParameterTypeDoesNotMatch(const std::string& name)
    : Exception("Parameter " + name + " is of another type"), _name(name)
{
}

ParameterRefused::ParameterRefused(const std::string& reason) : Exception(reason), _reason(reason) {}

DataQueueDie::DataQueueDie() : Exception("DataQueue: the queue is shut down") {}

DataQueueTimeOut::DataQueueTimeOut() : Exception("DataQueue: time-out waiting for an event") {}

} // namespace Ostrel

ConfigException::ConfigException(const std::string& why) : _why(why) {}

ConfigException::~ConfigException() = default;

const char* ConfigException::what() const noexcept
{
    return new_message(_why.empty() ? std::string("ConfigException") : _why);
}
