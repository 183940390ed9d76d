/* Library-internal helpers shared by the data objects. Not installed. */
#ifndef PLENWIG_HST_PRIVATE_H
#define PLENWIG_HST_PRIVATE_H

#include <math.h>

#include "hst_function.h"
#include "hst_histogram.h"
#include "hst_profile.h"
#include "hst_stats.h"
#include "hst_tracer.h"

G_BEGIN_DECLS

/* Largest bin count of one axis (the range of the "nx" properties). */
#define HST_MAX_BINS 999999

/* Most points one sampling of a function produces. */
#define HST_MAX_POINTS 1000000

struct _HstFunctionPrivate {
    HstMutex mutex;
};

/* Lock without the type check of the public functions: callers have checked. */
#define HST_LOCK(f)   g_rec_mutex_lock(&((HstFunction*)(f))->priv->mutex)
#define HST_UNLOCK(f) g_rec_mutex_unlock(&((HstFunction*)(f))->priv->mutex)

/* Bin of x: truncation toward zero, so a value less than one step below xmin
 * still lands in bin 0; -1 below, nbin above. Compared in double before the
 * conversion so that any x and any step give a defined answer. Lock held. */
static inline int _hst_find_bin(const HstFunction* f, double x)
{
    const double q = (x - f->xmin) / f->step;
    if (isnan(q) || q <= -1.0)
        return -1;
    if (q >= (double)f->nbin)
        return f->nbin;
    return (int)q;
}

/* Centre of bin ib. Lock held. */
static inline double _hst_bin_center(const HstFunction* f, int ib)
{
    return (ib + 0.5) * f->step + f->xmin;
}

/* Bin count that a step gives over xmin..xmax, or -1 when the step gives no
 * usable count (zero, not finite, wrong sign, or more than HST_MAX_BINS). */
G_GNUC_INTERNAL int _hst_bins_for_step(double xmin, double xmax, double step);

/* Unlocked statistics update; the owner's lock guards it. */
G_GNUC_INTERNAL void _hst_stats_add(HstStats* s, double x, double y, double w);
G_GNUC_INTERNAL void _hst_stats_reset(HstStats* s);
/* Takes one unit-weight entry of x back out (the ring of a tracer). */
G_GNUC_INTERNAL void _hst_stats_remove_x(HstStats* s, double x);

/* The plain 1D fill, whatever the class of the histogram. Lock held. */
G_GNUC_INTERNAL void _hst_histogram_base_fill(HstHistogram* h, double x, double w);
/* Replaces the bin array by n zeros (n already checked). Lock held. */
G_GNUC_INTERNAL void _hst_histogram_new_array(HstHistogram* h, int n);

/* Resizes the per-bin sums of a profile to n zeros. Lock held. */
G_GNUC_INTERNAL void _hst_profile_resize_sums(HstProfile* p, int n);

/* Changes the depth of a tracer keeping the newest values in order; the
 * values that no longer fit leave the statistics. Lock held. Returns 1 when
 * the depth changed. */
G_GNUC_INTERNAL int _hst_tracer_set_depth(HstTracer* t, int depth);
/* Empties the ring. Lock held. */
G_GNUC_INTERNAL void _hst_tracer_clear_ring(HstTracer* t);

G_END_DECLS

#endif
