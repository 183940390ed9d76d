// A set of updaters shown together.
#ifndef BRISKO_GUI_WIDGETHOLDER_H
#define BRISKO_GUI_WIDGETHOLDER_H

#include <set>

#include "gui/WidgetUpdate.h"

// Never deletes an updater itself: removing one destroys its widget, which
// deletes every object bound to that widget. An updater deleted in any
// other way leaves the holder by itself. GTK main thread only.
class WidgetHolder {
public:
    WidgetHolder() = default;
    WidgetHolder(const WidgetHolder&) = delete;
    WidgetHolder& operator=(const WidgetHolder&) = delete;
    virtual ~WidgetHolder();

    virtual void addUpdate(WidgetUpdate* u);
    // Removes u, then hides and destroys its widget.
    virtual void deleteUpdate(WidgetUpdate* u);
    virtual void deleteAll();
    virtual int countUpdates() const { return static_cast<int>(updates.size()); }
    virtual bool empty() const { return updates.empty(); }
    // Every updater shows the snapshot; those that answer nonzero are
    // removed as by deleteUpdate.
    virtual void updateAll(Update& u);

protected:
    std::set<WidgetUpdate*> updates;

private:
    friend class WidgetUpdate;
    void forget(WidgetUpdate* u) { updates.erase(u); }
};

#endif
