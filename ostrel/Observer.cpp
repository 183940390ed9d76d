#include "ostrel/Observer.h"

namespace Ostrel {

Argument::~Argument() = default;

Observer::~Observer()
{
    stop_observing();
}

void Observer::stop_observing()
{
    std::vector<Observable*> links;
    {
        std::lock_guard<std::mutex> lock(_links_mutex);
        links.swap(_links);
    }
    for (Observable* o : links)
        o->drop(this);
}

void Observer::observable_deleted(Observable*) {}

void Observer::link(Observable* o)
{
    std::lock_guard<std::mutex> lock(_links_mutex);
    if (std::find(_links.begin(), _links.end(), o) == _links.end())
        _links.push_back(o);
}

void Observer::unlink(Observable* o)
{
    std::lock_guard<std::mutex> lock(_links_mutex);
    _links.erase(std::remove(_links.begin(), _links.end(), o), _links.end());
}

Observable::Observable() : _changed(false) {}

Observable::~Observable()
{
    std::vector<Observer*> left;
    {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        left.swap(_observers);
        ++_generation;
    }
    for (Observer* o : left) {
        o->unlink(this);
        o->observable_deleted(this);
    }
}

void Observable::addObserver(Observer* o)
{
    if (!o)
        return;
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (std::find(_observers.begin(), _observers.end(), o) == _observers.end()) {
        _observers.push_back(o);
        ++_generation;
        o->link(this);
    }
}

void Observable::removeObserver(Observer* o)
{
    if (!o)
        return;
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    auto it = std::remove(_observers.begin(), _observers.end(), o);
    if (it != _observers.end()) {
        _observers.erase(it, _observers.end());
        ++_generation;
        o->unlink(this);
    }
}

void Observable::drop(Observer* o)
{
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    _observers.erase(std::remove(_observers.begin(), _observers.end(), o), _observers.end());
    ++_generation;
}

bool Observable::hasObserver(Observer* o) const
{
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    return std::find(_observers.begin(), _observers.end(), o) != _observers.end();
}

int Observable::countObservers() const
{
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    return static_cast<int>(_observers.size());
}

std::vector<Observer*> Observable::observers() const
{
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    return _observers;
}

void Observable::notifyObservers(Argument* argument)
{
    setChanged();
    // Cleared also when an observer refuses the change with an exception,
    // which goes on to whoever made the change.
    struct Clear {
        Observable* o;
        ~Clear() { o->clearChanged(); }
    } clear{this};
    for_each_observer([this, argument](Observer* o) { o->update(this, argument); });
}

} // namespace Ostrel
