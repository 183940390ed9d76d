// A strip chart of the data throughput: a chart whose main curve is a
// tracer, filled with the throughput per second since the previous update.
// A run time below the previous one is a new run, counted from its start.
#ifndef BRISKO_GUI_UPDATETHROUGHPUT_H
#define BRISKO_GUI_UPDATETHROUGHPUT_H

#include "gui/WidgetUpdate.h"

class UpdateThroughPut : public WidgetUpdate {
public:
    explicit UpdateThroughPut(GtkWidget* o) : WidgetUpdate(o) {}
    int update(Update& u) override;

private:
    double thrp = 0.0;   // throughput at the previous update
    double tm0 = 0.0;    // run time at the previous update
};

#endif
