// Named, typed parameters with change notification, and the objects that
// hold and observe them.
#ifndef OSTREL_PARAMETER_H
#define OSTREL_PARAMETER_H

#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "ostrel/DAQid.h"
#include "ostrel/Exception.h"
#include "ostrel/Observer.h"

namespace Ostrel {

class Parameter : public Observable {
public:
    Parameter();
    // A parameter whose value shares `lock` with other parameters: an owner
    // whose settings are read together, or set in one another's observers,
    // has them all under one lock, so that no order of locks is needed
    // among them. The lock outlives the parameter.
    explicit Parameter(std::recursive_mutex& lock);
    ~Parameter() override;

    // The lock of the value, held while it is set (its observers run under
    // it) and read as text: the parameter's own, or the one it shares.
    std::recursive_mutex& mutex() const { return *_lock; }

    const std::string& get_name() const { return _name; }
    void set_name(const std::string& name) { _name = name; }
    // The identifier of the object that owns the parameter.
    const DAQid& get_id() const { return _owner; }
    void set_id(const DAQid& id) { _owner = id; }

    // Text form of the value; "???" for a parameter without a value.
    virtual std::string get_as_string() const;
    // Sets the value from its text form. False, and nothing set, for a text
    // that is not a value of the parameter's type, and for a parameter
    // without a text form. A value its owner refuses raises what the owner
    // raised (ParameterRefused), and nothing is set either.
    virtual bool set_from_string(const std::string& text, bool notify = true);
    // Why set_from_string refuses the text, for a parameter that can say
    // more than that it is no value of its type; "" otherwise.
    virtual std::string refusal(const std::string& text) const;
    // Type of the value; typeid(void) for a parameter without a value.
    virtual const std::type_info& value_type() const;

private:
    std::string _name;
    DAQid _owner;
    std::recursive_mutex* _lock;
};

// Text forms of parameter values. Types without one give ".oOo." and refuse
// every text. Reading takes the whole text (blanks around it aside): "12abc"
// is not a number, and a number that does not fit the type is refused.
namespace par_text {

std::string format_double(double v);
bool parse_bool(const std::string& text, bool& out);
bool parse_signed(const std::string& text, long long& out);
bool parse_unsigned(const std::string& text, unsigned long long& out);
bool parse_double(const std::string& text, double& out);
// A count of bytes as a user writes one: digits only (no sign, fraction,
// exponent or unit), blanks around them aside, and no more than it holds.
bool parse_byte_count(const std::string& text, unsigned long& out);

template <class T, class Enable = void>
struct Text {
    static constexpr bool has_text = false;
    static std::string to(const T&) { return ".oOo."; }
    static bool from(const std::string&, T&) { return false; }
};

template <>
struct Text<bool> {
    static constexpr bool has_text = true;
    static std::string to(const bool& v) { return v ? "true" : "false"; }
    static bool from(const std::string& s, bool& v) { return parse_bool(s, v); }
};

template <class T>
struct Text<T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value>> {
    static constexpr bool has_text = true;
    static std::string to(const T& v)
    {
        // char types print as numbers, not as characters
        if (std::is_signed<T>::value)
            return std::to_string(static_cast<long long>(v));
        return std::to_string(static_cast<unsigned long long>(v));
    }
    static bool from(const std::string& s, T& v)
    {
        if (std::is_signed<T>::value) {
            long long x = 0;
            if (!parse_signed(s, x) || x < static_cast<long long>(std::numeric_limits<T>::min()) ||
                x > static_cast<long long>(std::numeric_limits<T>::max()))
                return false;
            v = static_cast<T>(x);
        } else {
            unsigned long long x = 0;
            if (!parse_unsigned(s, x) ||
                x > static_cast<unsigned long long>(std::numeric_limits<T>::max()))
                return false;
            v = static_cast<T>(x);
        }
        return true;
    }
};

template <class T>
struct Text<T, std::enable_if_t<std::is_floating_point<T>::value>> {
    static constexpr bool has_text = true;
    static std::string to(const T& v) { return format_double(static_cast<double>(v)); }
    static bool from(const std::string& s, T& v)
    {
        double x = 0;
        if (!parse_double(s, x))
            return false;
        v = static_cast<T>(x);
        return true;
    }
};

template <>
struct Text<std::string> {
    static constexpr bool has_text = true;
    static std::string to(const std::string& v) { return v; }
    static bool from(const std::string& s, std::string& v)
    {
        v = s;
        return true;
    }
};

// Vectors of values with a text form: the values separated by blanks.
template <class E>
struct Text<std::vector<E>, std::enable_if_t<std::is_arithmetic<E>::value>> {
    static constexpr bool has_text = true;
    static std::string to(const std::vector<E>& v)
    {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i) {
            if (i)
                out += ' ';
            out += Text<E>::to(v[i]);
        }
        return out;
    }
    static bool from(const std::string& s, std::vector<E>& v)
    {
        std::istringstream is(s);
        std::vector<E> out;
        std::string word;
        while (is >> word) {
            E e{};
            if (!Text<E>::from(word, e))
                return false;
            out.push_back(e);
        }
        v.swap(out);
        return true;
    }
};

} // namespace par_text

// A parameter holding a value of type T. Setting it with notify calls every
// observer with an Arg<T> holding the stored value and an empty tag, on the
// thread that sets it. Setting and the text form take the parameter's lock
// (mutex(), held through the notification), so two setters never write the
// value at once; get_value() hands out the value itself, unlocked: a reader
// on another thread holds mutex().
//
// An observer that throws refuses the value (ParameterRefused says why): the
// parameter takes back the value it had, the observers after it are not
// called, and the exception goes on to whoever set the value. An owner that
// may refuse therefore observes its parameters before anyone else does.
template <class T>
class Par : public Parameter {
public:
    Par() : _value() {}
    explicit Par(const T& value) : _value(value) {}
    Par(const T& value, std::recursive_mutex& lock) : Parameter(lock), _value(value) {}

    T& get_value() { return _value; }
    const T& get_value() const { return _value; }

    void set_value(const T& value, bool notify = true)
    {
        std::lock_guard<std::recursive_mutex> lock(mutex());
        if (!notify) {
            _value = value;
            return;
        }
        // Copied before the swap: `value` may be the stored value itself.
        T before(value);
        std::swap(before, _value);
        try {
            Arg<T> arg(_value);
            notifyObservers(&arg);
        } catch (...) {
            _value = std::move(before);
            throw;
        }
    }

    std::string get_as_string() const override
    {
        std::lock_guard<std::recursive_mutex> lock(mutex());
        return par_text::Text<T>::to(_value);
    }

    bool set_from_string(const std::string& text, bool notify = true) override
    {
        T v{};
        if (!par_text::Text<T>::from(text, v))
            return false;
        set_value(v, notify);
        return true;
    }

    const std::type_info& value_type() const override { return typeid(T); }

private:
    T _value;
};

// A map from name to parameter. The holder observes every parameter it is
// given and owns it: parameters are allocated with new and deleted with the
// holder. A parameter replaced under its name stays alive (observers may
// still point at it) until the holder goes.
class ParameterHolder : public Observer {
public:
    ParameterHolder() = default;
    ParameterHolder(const ParameterHolder&) = delete;
    ParameterHolder& operator=(const ParameterHolder&) = delete;
    ~ParameterHolder() override;

    // Stores the parameter under the name, names it and, when an id is
    // given, sets its owner id. Returns the parameter.
    Parameter* add_par(const std::string& name, Parameter* p, const DAQid& id);
    virtual Parameter* add_par(const std::string& name, Parameter* p);

    bool has_par(const std::string& name) const;
    Parameter* get_par(const std::string& name) const;    // ParameterNonExistent
    std::vector<std::string> par_names() const;
    // Changes whenever a parameter is added, replaced or deleted: a caller
    // that looks a parameter up often may keep it until this changes.
    unsigned long par_generation() const { return _generation.load(std::memory_order_acquire); }

    template <class T>
    T& get_par_value(const std::string& name) const
    {
        Par<T>* p = dynamic_cast<Par<T>*>(get_par(name));
        if (!p)
            throw ParameterTypeDoesNotMatch(name);
        return p->get_value();
    }

    template <class T>
    void set_par(const std::string& name, const T& value, bool notify = true)
    {
        Par<T>* p = dynamic_cast<Par<T>*>(get_par(name));
        if (!p)
            throw ParameterTypeDoesNotMatch(name);
        p->set_value(value, notify);
    }
    void set_par(const std::string& name, const char* value, bool notify = true)
    {
        set_par<std::string>(name, std::string(value ? value : ""), notify);
    }

    // Parameter change notices reach the holder here; nothing by default.
    void update(Observable* o, Argument* arg) override;
    void observable_deleted(Observable* o) override;

private:
    Parameter* add_par_no_id(const std::string& name, Parameter* p);

    mutable std::mutex _mutex;
    std::map<std::string, Parameter*> _pars;
    std::vector<Parameter*> _retired;
    std::atomic<unsigned long> _generation{0};
};

// Calls a member function of an object of class C with the new value of one
// Par<T> whenever that parameter notifies.
template <class T, class C>
class ParameterObserver : public Observer {
public:
    using Callback = std::function<void(const T&)>;

    ParameterObserver(C* object, void (C::*member)(const T&), Par<T>* par = nullptr)
        : _call([object, member](const T& v) { (object->*member)(v); })
    {
        set_par(par);
    }
    ParameterObserver(C* object, void (C::*member)(T), Par<T>* par = nullptr)
        : _call([object, member](const T& v) { (object->*member)(v); })
    {
        set_par(par);
    }
    ~ParameterObserver() override
    {
        if (_par)
            _par->removeObserver(this);
    }

    // Moves the observer from its previous parameter to this one.
    void set_par(Par<T>* par)
    {
        if (_par)
            _par->removeObserver(this);
        _par = par;
        if (_par)
            _par->addObserver(this);
    }
    Par<T>* get_par() const { return _par; }

    void update(Observable*, Argument* argument) override
    {
        if (Arg<T>* a = dynamic_cast<Arg<T>*>(argument))
            _call(a->get_value());
    }
    void observable_deleted(Observable* o) override
    {
        if (o == _par)
            _par = nullptr;
    }

private:
    Callback _call;
    Par<T>* _par = nullptr;
};

// The parameter observers an object of class C creates for itself; deleted
// with the object. C derives from ParameterCollection<C>.
template <class C>
class ParameterCollection {
public:
    ParameterCollection() = default;
    ParameterCollection(const ParameterCollection&) = delete;
    ParameterCollection& operator=(const ParameterCollection&) = delete;
    virtual ~ParameterCollection()
    {
        for (Observer* o : _observers)
            delete o;
    }

    // Binds a member of this object to the parameter and returns the parameter.
    template <class T, class M>
    Par<T>* new_par(M member, Par<T>* par)
    {
        _observers.push_back(new ParameterObserver<T, C>(static_cast<C*>(this), member, par));
        return par;
    }

private:
    std::vector<Observer*> _observers;
};

} // namespace Ostrel

#endif
