// A gauge showing the efficiency.
#ifndef BRISKO_GUI_UPDATEGAUGEEFF_H
#define BRISKO_GUI_UPDATEGAUGEEFF_H

#include "gui/WidgetUpdate.h"

class UpdateGaugeEff : public WidgetUpdate {
public:
    explicit UpdateGaugeEff(GtkWidget* o) : WidgetUpdate(o) {}
    int update(Update& u) override;
};

#endif
