// The observer model of the framework: observables notify their observers
// with an argument.
#ifndef OSTREL_OBSERVER_H
#define OSTREL_OBSERVER_H

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace Ostrel {

class Observable;

// What an observable hands to its observers; a text tag, and in Arg<T> a value.
class Argument {
public:
    explicit Argument(const std::string& tag = std::string()) : _tag(tag) {}
    virtual ~Argument();
    const std::string& tag() const { return _tag; }

private:
    std::string _tag;
};

template <class T>
class Arg : public Argument {
public:
    explicit Arg(const T& value, const std::string& tag = std::string())
        : Argument(tag), _value(value) {}
    const T& get_value() const { return _value; }
    const T& operator()() const { return _value; }

private:
    T _value;
};

// An observer and the observables it observes know each other: whichever of
// the two goes first leaves the other, so neither is left holding a pointer
// to freed memory.
class Observer {
public:
    Observer() = default;
    Observer(const Observer&) {}                       // links are not copied
    Observer& operator=(const Observer&) { return *this; }
    virtual ~Observer();   // stops observing everything it observes
    // Stops observing everything it observes, waiting for notifications
    // under way. A derived observer that other threads notify calls it
    // first thing in its destructor: by the time the base destructor runs,
    // its own update() is gone.
    void stop_observing();

    virtual void update(Observable* observable, Argument* argument) = 0;
    // Called by an observable that is being destroyed while this observer
    // still observes it, so that the observer can forget it.
    virtual void observable_deleted(Observable* observable);

private:
    friend class Observable;
    void link(Observable* o);
    void unlink(Observable* o);
    std::mutex _links_mutex;
    std::vector<Observable*> _links;
};

// The observer list is guarded by a recursive mutex: an observer called
// during a notification may notify again, but must not add or remove
// observers of the same observable from another thread while waiting for
// that walk to end.
class Observable {
public:
    Observable();
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;
    virtual ~Observable();

    void addObserver(Observer* o);      // an observer is held once
    void removeObserver(Observer* o);
    bool hasObserver(Observer* o) const;
    int countObservers() const;
    std::vector<Observer*> observers() const;   // a copy, in order of addition

    // Marks the observable changed, calls update() on every observer and
    // clears the mark.
    void notifyObservers(Argument* argument = nullptr);

    void setChanged() { _changed = true; }
    void clearChanged() { _changed = false; }
    bool hasChanged() const { return _changed; }

    // Calls f on every observer while holding the mutex for the whole walk.
    // Observers removed during the walk are not called any more.
    template <class F>
    F for_each_observer(F f)
    {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        // The walk goes over a copy, kept on the stack for the usual few
        // observers: notifications run once per event.
        Observer* small[16];
        std::vector<Observer*> large;
        Observer** walk = small;
        const size_t n = _observers.size();
        if (n > 16) {
            large = _observers;
            walk = large.data();
        } else {
            std::copy(_observers.begin(), _observers.end(), small);
        }
        const unsigned long generation = _generation;
        for (size_t i = 0; i < n; ++i) {
            Observer* o = walk[i];
            if (generation == _generation ||
                std::find(_observers.begin(), _observers.end(), o) != _observers.end())
                f(o);
        }
        return f;
    }

    // Raised by every change of the observer list.
    unsigned long generation() const { return _generation.load(); }

    std::recursive_mutex& mutex() const { return _mutex; }

private:
    friend class Observer;
    void drop(Observer* o);   // removeObserver without telling the observer

    mutable std::recursive_mutex _mutex;
    std::vector<Observer*> _observers;
    std::atomic<unsigned long> _generation{0};
    std::atomic<bool> _changed;
};

} // namespace Ostrel

#endif
