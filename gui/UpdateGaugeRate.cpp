#include "gui/UpdateGaugeRate.h"

#include <cmath>

#include "plenwig/hst_gauge.h"
#include "plenwig/hst_tracer.h"

double get_upper_bin(double x)
{
    if (!std::isfinite(x) || x <= 0.0 || x > 1e30)
        return 0.0;
    int j = static_cast<int>(std::log10(x));
    if (x <= 1.0)
        j -= 1;
    // Scaled by exact powers of ten only.
    const double y = j >= 0 ? x / std::pow(10.0, j) : x * std::pow(10.0, -j);
    double s;
    if (y <= 1.0)
        s = 1.0;
    else if (y <= 2.0)
        s = 2.0;
    else if (y <= 5.0)
        s = 5.0;
    else {
        s = 1.0;
        j += 1;
    }
    return j >= 0 ? s * std::pow(10.0, j) : s / std::pow(10.0, -j);
}

int UpdateGaugeRate::update(Update& u)
{
    if (!w || !HST_IS_GAUGE(w))
        return 0;
    HstGauge* gauge = HST_GAUGE(w);
    hst_gauge_set_value(gauge, static_cast<float>(u.rate));
    // At rest the recent rates have no spread, and a scale fitted to them
    // would end at a power of ten far below anything readable: the scale
    // in force stays until events come again.
    if (!(u.rate > 0.0))
        return 0;
    HstTracer* tracer = hst_gauge_get_tracer(gauge);
    const double mean = hst_tracer_get_mean(tracer);
    const double sigma = 1e-10 + std::sqrt(hst_tracer_get_rms(tracer));
    double xmax = 0.0;
    g_object_get(gauge, "xmax", &xmax, nullptr);
    if (mean > xmax || std::fabs(xmax - mean) / sigma > 10.0) {
        const double n = get_upper_bin(10.0 * sigma + mean);
        if (n != 0.0)
            g_object_set(gauge, "xmax", n, nullptr);
    }
    return 0;
}
