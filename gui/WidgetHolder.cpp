#include "gui/WidgetHolder.h"

#include <vector>

WidgetHolder::~WidgetHolder()
{
    deleteAll();
}

void WidgetHolder::addUpdate(WidgetUpdate* u)
{
    if (!u)
        return;
    updates.insert(u);
    u->holders.insert(this);
}

void WidgetHolder::deleteUpdate(WidgetUpdate* u)
{
    if (!u)
        return;
    updates.erase(u);
    u->holders.erase(this);
    if (GtkWidget* w = u->wdgt()) {
        gtk_widget_hide(w);
        gtk_widget_destroy(w);
    }
}

void WidgetHolder::deleteAll()
{
    // Destroying one widget may delete other held updaters bound to it:
    // they leave the set as they go.
    while (!updates.empty())
        deleteUpdate(*updates.begin());
}

void WidgetHolder::updateAll(Update& u)
{
    // Over a copy: an update may delete updaters, of this holder or others.
    const std::vector<WidgetUpdate*> walk(updates.begin(), updates.end());
    for (WidgetUpdate* p : walk) {
        if (!updates.count(p))
            continue;
        if (p->update(u) != 0)
            deleteUpdate(p);
    }
}
