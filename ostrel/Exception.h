// Exceptions of the acquisition framework, and the program's own exception
// of configuration and set-up errors, which the analysis raises too.
#ifndef OSTREL_EXCEPTION_H
#define OSTREL_EXCEPTION_H

#include <exception>
#include <string>

namespace Ostrel {

// Base of every framework exception. The message text lives inside the
// exception object, so the pointer that what() returns stays valid for as
// long as the exception does.
class Exception : public std::exception {
public:
    Exception() = default;
    explicit Exception(const std::string& message);
    ~Exception() override;

    const char* what() const noexcept override;

protected:
    // Builds the message of this exception from a text and returns it. The
    // returned storage belongs to the exception.
    const char* new_message(const std::string& text) const noexcept;

private:
    mutable std::string _message;
};

// A parameter name that the holder does not have.
class ParameterNonExistent : public Exception {
public:
    explicit ParameterNonExistent(const std::string& name);
    const std::string& name() const { return _name; }

private:
    std::string _name;
};

// A parameter that exists under the name but holds another type.
class ParameterTypeDoesNotMatch : public Exception {
public:
    explicit ParameterTypeDoesNotMatch(const std::string& name);
    const std::string& name() const { return _name; }

private:
    std::string _name;
};

// A value that the owner of a parameter does not take, and why. The
// observer that refuses the value throws it; the parameter keeps the value
// it had (Par::set_value).
class ParameterRefused : public Exception {
public:
    explicit ParameterRefused(const std::string& reason);
    const std::string& reason() const { return _reason; }

private:
    std::string _reason;
};

// DataQueue::get_event on a queue that has been shut down.
class DataQueueDie : public Exception {
public:
    DataQueueDie();
};

// DataQueue::get_event that found no event within its time limit.
class DataQueueTimeOut : public Exception {
public:
    DataQueueTimeOut();
};

} // namespace Ostrel

class ConfigException : public Ostrel::Exception {
public:
    explicit ConfigException(const std::string& why);
    ~ConfigException() override;

    // The message; "ConfigException" when it was built without one. The
    // text lives as long as the exception.
    const char* what() const noexcept override;

private:
    std::string _why;
};

#endif
