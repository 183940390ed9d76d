#include "ostrel/Parameter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "ostrel/StringUtils.h"

namespace Ostrel {

Parameter::Parameter() : _name("unnamed"), _owner("???"), _lock(&Observable::mutex()) {}

Parameter::Parameter(std::recursive_mutex& lock) : _name("unnamed"), _owner("???"), _lock(&lock) {}

Parameter::~Parameter() = default;

std::string Parameter::get_as_string() const
{
    return "???";
}

bool Parameter::set_from_string(const std::string&, bool)
{
    return false;
}

std::string Parameter::refusal(const std::string&) const
{
    return std::string();
}

const std::type_info& Parameter::value_type() const
{
    return typeid(void);
}

namespace par_text {

std::string format_double(double v)
{
    // The shortest text that reads back as the same double.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    if (r.ec != std::errc())
        return std::to_string(v);
    return std::string(buf, r.ptr);
}

namespace {

// A number's text without the white space around it: every C white-space
// character, so that a number from a line that ended in a carriage return
// still reads.
std::string strip(const std::string& text)
{
    return trim_str(text, " \t\n\r\f\v");
}

template <class N>
bool parse_number(const std::string& text, N& out)
{
    std::string t = strip(text);
    if (!t.empty() && t[0] == '+')
        t.erase(0, 1);
    if (t.empty())
        return false;
    N v{};
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size())
        return false;
    out = v;
    return true;
}

} // namespace

bool parse_signed(const std::string& text, long long& out)
{
    return parse_number(text, out);
}

bool parse_unsigned(const std::string& text, unsigned long long& out)
{
    // from_chars would take "-1" as no number anyway; say so plainly
    if (strip(text).rfind('-', 0) == 0)
        return false;
    return parse_number(text, out);
}

bool parse_byte_count(const std::string& text, unsigned long& out)
{
    const std::string t = strip(text);
    unsigned long long value = 0;
    if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || !parse_number(t, value) ||
        value > std::numeric_limits<unsigned long>::max())
        return false;
    out = static_cast<unsigned long>(value);
    return true;
}

bool parse_double(const std::string& text, double& out)
{
    double v = 0;
    if (!parse_number(text, v) || !std::isfinite(v))
        return false;
    out = v;
    return true;
}

bool parse_bool(const std::string& text, bool& out)
{
    std::string t;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (t == "true" || t == "1" || t == "yes" || t == "on") {
        out = true;
        return true;
    }
    if (t == "false" || t == "0" || t == "no" || t == "off") {
        out = false;
        return true;
    }
    return false;
}

} // namespace par_text

ParameterHolder::~ParameterHolder()
{
    std::vector<Parameter*> all;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (auto& kv : _pars)
            all.push_back(kv.second);
        all.insert(all.end(), _retired.begin(), _retired.end());
        _pars.clear();
        _retired.clear();
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (Parameter* p : all) {
        p->removeObserver(this);
        delete p;
    }
}

Parameter* ParameterHolder::add_par(const std::string& name, Parameter* p, const DAQid& id)
{
    if (!p)
        return nullptr;
    p->set_id(id);
    return add_par_no_id(name, p);
}

Parameter* ParameterHolder::add_par(const std::string& name, Parameter* p)
{
    return add_par_no_id(name, p);
}

Parameter* ParameterHolder::add_par_no_id(const std::string& name, Parameter* p)
{
    if (!p)
        return nullptr;
    p->set_name(name);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _pars.find(name);
        if (it != _pars.end() && it->second != p) {
            it->second->removeObserver(this);
            _retired.push_back(it->second);
        }
        _pars[name] = p;
        _retired.erase(std::remove(_retired.begin(), _retired.end(), p), _retired.end());
        _generation.fetch_add(1, std::memory_order_release);
    }
    p->addObserver(this);
    return p;
}

bool ParameterHolder::has_par(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _pars.count(name) != 0;
}

Parameter* ParameterHolder::get_par(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _pars.find(name);
    if (it == _pars.end())
        throw ParameterNonExistent(name);
    return it->second;
}

std::vector<std::string> ParameterHolder::par_names() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    std::vector<std::string> names;
    for (auto& kv : _pars)
        names.push_back(kv.first);
    return names;
}

void ParameterHolder::update(Observable*, Argument*) {}

void ParameterHolder::observable_deleted(Observable* o)
{
    // Someone deleted a parameter this holder owns: forget it, so that it is
    // not deleted a second time.
    std::lock_guard<std::mutex> lock(_mutex);
    for (auto it = _pars.begin(); it != _pars.end();) {
        if (it->second == o)
            it = _pars.erase(it);
        else
            ++it;
    }
    _retired.erase(std::remove(_retired.begin(), _retired.end(), o), _retired.end());
    _generation.fetch_add(1, std::memory_order_release);
}

} // namespace Ostrel
