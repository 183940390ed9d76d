// A process-wide map from key text to objects, locked because framework
// threads look entries up while the GUI thread adds and deletes them. The
// owner deletes what it takes out (outside the lock).
#ifndef BRISKO_GUI_REGISTRY_H
#define BRISKO_GUI_REGISTRY_H

#include <map>
#include <mutex>
#include <string>

template <class T>
class Registry {
public:
    // Stores the object under the key; returns the one it replaces, or null.
    T* put(const std::string& key, T* item)
    {
        std::lock_guard<std::mutex> lock(mutex);
        T*& slot = items[key];
        T* old = slot;
        slot = item;
        return old;
    }

    T* find(const std::string& key) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = items.find(key);
        return it == items.end() ? nullptr : it->second;
    }

    // Removes the entry and returns its object, or null.
    T* take(const std::string& key)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = items.find(key);
        if (it == items.end())
            return nullptr;
        T* item = it->second;
        items.erase(it);
        return item;
    }

    // Removes the entry only while it holds `item`; the item, or null.
    T* take(const std::string& key, T* item)
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = items.find(key);
        if (it == items.end() || it->second != item)
            return nullptr;
        items.erase(it);
        return item;
    }

    std::map<std::string, T*> take_all()
    {
        std::map<std::string, T*> all;
        std::lock_guard<std::mutex> lock(mutex);
        all.swap(items);
        return all;
    }

    // Calls f with the object of the key while the entry cannot go; false
    // when there is none. f must not use the registry.
    template <class F>
    bool with(const std::string& key, F f) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = items.find(key);
        if (it == items.end())
            return false;
        f(it->second);
        return true;
    }

private:
    mutable std::mutex mutex;
    std::map<std::string, T*> items;
};

#endif
