// A label showing the trigger count.
#ifndef BRISKO_GUI_UPDATELABELNTRIG_H
#define BRISKO_GUI_UPDATELABELNTRIG_H

#include "gui/WidgetUpdate.h"

class UpdateLabelNtrig : public WidgetUpdate {
public:
    explicit UpdateLabelNtrig(GtkWidget* o) : WidgetUpdate(o) {}
    int update(Update& u) override;
};

#endif
