// A label showing the trigger rate, one decimal in six places.
#ifndef BRISKO_GUI_UPDATELABELRATE_H
#define BRISKO_GUI_UPDATELABELRATE_H

#include "gui/WidgetUpdate.h"

class UpdateLabelRate : public WidgetUpdate {
public:
    explicit UpdateLabelRate(GtkWidget* o) : WidgetUpdate(o) {}
    int update(Update& u) override;
};

#endif
