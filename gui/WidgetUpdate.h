// A widget that shows one value of a run-state snapshot.
#ifndef BRISKO_GUI_WIDGETUPDATE_H
#define BRISKO_GUI_WIDGETUPDATE_H

#include <set>

#include "gui/Update.h"
#include "gui/Widget.h"

class WidgetHolder;

// Lives as long as its widget (Widget). When it is deleted, by its
// widget's destruction or directly, it leaves every holder that has it.
class WidgetUpdate : public Widget {
public:
    explicit WidgetUpdate(GtkWidget* o) : Widget(o) {}
    ~WidgetUpdate() override;
    // Shows the snapshot: 0 keeps the updater, anything else asks its
    // holder to remove it (and destroy its widget).
    virtual int update(Update& u) = 0;

protected:
    // The text of the bound label (nothing for another widget).
    void set_label(const char* text);

private:
    friend class WidgetHolder;
    std::set<WidgetHolder*> holders;
};

#endif
