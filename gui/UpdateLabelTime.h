// A label showing the run time as "days hh:mm:ss".
#ifndef BRISKO_GUI_UPDATELABELTIME_H
#define BRISKO_GUI_UPDATELABELTIME_H

#include "gui/WidgetUpdate.h"

class UpdateLabelTime : public WidgetUpdate {
public:
    explicit UpdateLabelTime(GtkWidget* o) : WidgetUpdate(o) {}
    int update(Update& u) override;
};

#endif
