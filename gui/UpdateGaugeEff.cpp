#include "gui/UpdateGaugeEff.h"

#include "plenwig/hst_gauge.h"

int UpdateGaugeEff::update(Update& u)
{
    if (w && HST_IS_GAUGE(w))
        hst_gauge_set_value(HST_GAUGE(w), static_cast<float>(u.eff));
    return 0;
}
