/* HstTracer: a ring of the last N values of a quantity (a strip chart).
 *
 * Each fill appends a value (the weight is ignored) and, once the ring is
 * full, the oldest leaves; the statistics describe exactly the values held,
 * except the extremes, which are those of every value since the last reset.
 * The ring's depth is its bin count, its range 0 .. depth with step 1.
 */
#ifndef PLENWIG_HST_TRACER_H
#define PLENWIG_HST_TRACER_H

#include "hst_histogram.h"

G_BEGIN_DECLS

#define HST_TYPE_TRACER            (hst_tracer_get_type())
#define HST_TRACER(obj)            (G_TYPE_CHECK_INSTANCE_CAST((obj), HST_TYPE_TRACER, HstTracer))
#define HST_TRACER_CLASS(klass)    (G_TYPE_CHECK_CLASS_CAST((klass), HST_TYPE_TRACER, HstTracerClass))
#define HST_IS_TRACER(obj)         (G_TYPE_CHECK_INSTANCE_TYPE((obj), HST_TYPE_TRACER))
#define HST_IS_TRACER_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE((klass), HST_TYPE_TRACER))
#define HST_TRACER_GET_CLASS(obj)  (G_TYPE_INSTANCE_GET_CLASS((obj), HST_TYPE_TRACER, HstTracerClass))

typedef struct _HstTracer HstTracer;
typedef struct _HstTracerClass HstTracerClass;

struct _HstTracer {
    HstHistogram parent;
    int index;   /* position in y where the next value is written */
    int npoints; /* number of values held, at most the depth */
};

struct _HstTracerClass {
    HstHistogramClass parent_class;
};

GType hst_tracer_get_type(void) G_GNUC_CONST;

HstTracer* hst_tracer_new(int n);

double hst_tracer_get_maximum(HstTracer* tr);
double hst_tracer_get_minimum(HstTracer* tr);
double hst_tracer_get_mean(HstTracer* tr);
double hst_tracer_get_rms(HstTracer* tr); /* the variance of the values held */

G_END_DECLS

#endif
