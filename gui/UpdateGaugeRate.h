// A gauge showing the trigger rate; its scale follows the recent rates.
#ifndef BRISKO_GUI_UPDATEGAUGERATE_H
#define BRISKO_GUI_UPDATEGAUGERATE_H

#include "gui/WidgetUpdate.h"

// The smallest of 1, 2 or 5 times a power of ten that is not below x; 0 for
// a value that is not finite and positive or is above 1e30.
double get_upper_bin(double x);

class UpdateGaugeRate : public WidgetUpdate {
public:
    explicit UpdateGaugeRate(GtkWidget* o) : WidgetUpdate(o) {}
    int update(Update& u) override;
};

#endif
