/* HstStats: weighted moments, means, spreads and the x-y correlation. */
#include "hst_stats.h"

#include <math.h>

#include "hst_private.h"

enum {
    PROP_0,
    PROP_NC,
    PROP_MEAN_X,
    PROP_RMS_X,
    PROP_STDEV_X,
    PROP_XMIN,
    PROP_XMAX,
    PROP_MEAN_Y,
    PROP_RMS_Y,
    PROP_STDEV_Y,
    PROP_YMIN,
    PROP_YMAX,
    PROP_CORR,
    N_PROPS
};

G_DEFINE_TYPE(HstStats, hst_stats, G_TYPE_OBJECT)

void _hst_stats_reset(HstStats* s)
{
    s->nc = 0.0;
    for (int i = 0; i < 5; i++)
        s->s[i] = 0.0;
    s->xmin[0] = s->xmin[1] = G_MAXDOUBLE;
    s->xmax[0] = s->xmax[1] = -G_MAXDOUBLE;
}

void _hst_stats_add(HstStats* s, double x, double y, double w)
{
    const double v[2] = {x, y};
    s->nc += w;
    for (int c = 0; c < 2; c++) {
        s->s[c] += w * v[c];
        s->s[c + 2] += w * v[c] * v[c];
        if (v[c] > s->xmax[c])
            s->xmax[c] = v[c];
        if (v[c] < s->xmin[c])
            s->xmin[c] = v[c];
    }
    s->s[4] += w * x * y;
}

void _hst_stats_remove_x(HstStats* s, double x)
{
    s->nc -= 1.0;
    s->s[0] -= x;
    s->s[2] -= x * x;
}

static double stats_mean(const HstStats* s, int w)
{
    return s->nc > 0.0 ? s->s[w] / s->nc : 0.0;
}

/* Mean of squares minus squared mean; rounding can take that a hair below
 * zero for a constant stream, and a spread is never negative. */
static double stats_variance(const HstStats* s, int w)
{
    if (s->nc < 2.0)
        return 0.0;
    const double m = stats_mean(s, w);
    const double v = s->s[w + 2] / s->nc - m * m;
    return v > 0.0 ? v : 0.0;
}

static double stats_stdev(const HstStats* s, int w)
{
    return sqrt(stats_variance(s, w));
}

static double stats_correlation(const HstStats* s)
{
    if (s->nc <= 0.0)
        return 0.0;
    const double mx = stats_mean(s, 0);
    const double my = stats_mean(s, 1);
    const double p = stats_stdev(s, 0) * stats_stdev(s, 1);
    if (p == 0.0)
        return 0.0;
    return (s->s[4] / s->nc - mx * my) / p;
}

static void stats_get_property(GObject* object, guint prop_id, GValue* value, GParamSpec* pspec)
{
    HstStats* s = HST_STATS(object);
    double v = 0.0;
    switch (prop_id) {
    case PROP_NC: v = s->nc; break;
    case PROP_MEAN_X: v = stats_mean(s, 0); break;
    case PROP_RMS_X: v = stats_variance(s, 0); break;
    case PROP_STDEV_X: v = stats_stdev(s, 0); break;
    case PROP_XMIN: v = s->xmin[0]; break;
    case PROP_XMAX: v = s->xmax[0]; break;
    case PROP_MEAN_Y: v = stats_mean(s, 1); break;
    case PROP_RMS_Y: v = stats_variance(s, 1); break;
    case PROP_STDEV_Y: v = stats_stdev(s, 1); break;
    case PROP_YMIN: v = s->xmin[1]; break;
    case PROP_YMAX: v = s->xmax[1]; break;
    case PROP_CORR: v = stats_correlation(s); break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
        return;
    }
    g_value_set_double(value, v);
}

static void hst_stats_init(HstStats* s)
{
    _hst_stats_reset(s);
}

static GParamSpec* ro_double(const char* name, const char* nick, const char* blurb)
{
    return g_param_spec_double(name, nick, blurb, -G_MAXDOUBLE, G_MAXDOUBLE, 0.0, G_PARAM_READABLE);
}

static void hst_stats_class_init(HstStatsClass* klass)
{
    GObjectClass* gobject_class = G_OBJECT_CLASS(klass);
    gobject_class->get_property = stats_get_property;

    GParamSpec* props[N_PROPS] = {NULL};
    props[PROP_NC] = ro_double("nc", "nc", "Number of entries");
    props[PROP_MEAN_X] = ro_double("mean_x", "X mean", "Mean value of X");
    props[PROP_RMS_X] = ro_double("rms_x", "X rms", "RMS of X");
    props[PROP_STDEV_X] = ro_double("stdev_x", "X stdev", "Standard deviation of X");
    props[PROP_XMIN] = ro_double("xmin", "xmin", "X minimum value");
    props[PROP_XMAX] = ro_double("xmax", "xmax", "X maximum value");
    props[PROP_MEAN_Y] = ro_double("mean_y", "Y mean", "Mean value of Y");
    props[PROP_RMS_Y] = ro_double("rms_y", "Y rms", "RMS of Y");
    props[PROP_STDEV_Y] = ro_double("stdev_y", "Y stdev", "Standard deviation of Y");
    props[PROP_YMIN] = ro_double("ymin", "ymin", "Y minimum value");
    props[PROP_YMAX] = ro_double("ymax", "ymax", "Y maximum value");
    props[PROP_CORR] = ro_double("corr", "XY correlation", "X and Y correlation");
    g_object_class_install_properties(gobject_class, N_PROPS, props);
}

HstStats* hst_stats_new(void)
{
    return HST_STATS(g_object_new(HST_TYPE_STATS, NULL));
}

void hst_stats_add(HstStats* self, double x, double y, double w)
{
    g_return_if_fail(self != NULL);
    g_return_if_fail(HST_IS_STATS(self));
    _hst_stats_add(self, x, y, w);
}

void hst_stats_reset(HstStats* self)
{
    g_return_if_fail(self != NULL);
    g_return_if_fail(HST_IS_STATS(self));
    _hst_stats_reset(self);
}

void hst_stats_copy(HstStats* self, HstStats* cpy)
{
    g_return_if_fail(HST_IS_STATS(self));
    g_return_if_fail(HST_IS_STATS(cpy));
    cpy->nc = self->nc;
    for (int i = 0; i < 5; i++)
        cpy->s[i] = self->s[i];
    for (int i = 0; i < 2; i++) {
        cpy->xmin[i] = self->xmin[i];
        cpy->xmax[i] = self->xmax[i];
    }
}

double hst_stats_get_nc(HstStats* self)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    return self->nc;
}

double hst_stats_get_mean(HstStats* self, int w)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    g_return_val_if_fail((w>=0&&w<2), 0.0);
    return stats_mean(self, w);
}

double hst_stats_get_rms(HstStats* self, int w)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    g_return_val_if_fail((w>=0&&w<2), 0.0);
    return stats_variance(self, w);
}

double hst_stats_get_stdev(HstStats* self, int w)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    g_return_val_if_fail((w>=0&&w<2), 0.0);
    return stats_stdev(self, w);
}

double hst_stats_get_min(HstStats* self, int w)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    g_return_val_if_fail((w>=0&&w<2), 0.0);
    return self->xmin[w];
}

double hst_stats_get_max(HstStats* self, int w)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    g_return_val_if_fail((w>=0&&w<2), 0.0);
    return self->xmax[w];
}

double hst_stats_get_correlation(HstStats* self)
{
    g_return_val_if_fail(self != NULL, 0.0);
    g_return_val_if_fail(HST_IS_STATS(self), 0.0);
    return stats_correlation(self);
}
