#include "gui/UpdateThroughPut.h"

#include "plenwig/hst_chart1d.h"
#include "plenwig/hst_histogram.h"

int UpdateThroughPut::update(Update& u)
{
    if (!w || !HST_IS_CHART1D(w))
        return -1;
    HstFunction* func = HST_CHART1D(w)->func;
    if (!func || !HST_IS_HISTOGRAM(func))
        return -1;
    if (u.time < tm0) {
        // A new run: measured from its start, as at construction.
        tm0 = 0.0;
        thrp = 0.0;
    }
    const double dx = (u.throughput - thrp) / 1024.0;
    const double dt = u.time == tm0 ? u.time : u.time - tm0;
    if (dt != 0.0)
        hst_histogram_fill(HST_HISTOGRAM(func), dx / dt, 1.0);
    tm0 = u.time;
    thrp = u.throughput;
    return 0;
}
