/* The histogram and chart library: data objects and the widgets that draw
 * them. */
#ifndef PLENWIG_PLENWIG_H
#define PLENWIG_PLENWIG_H

#include "hst_axis.h"
#include "hst_chart1d.h"
#include "hst_chart2d.h"
#include "hst_function.h"
#include "hst_function2d.h"
#include "hst_gauge.h"
#include "hst_graph.h"
#include "hst_histogram.h"
#include "hst_histogram2d.h"
#include "hst_profile.h"
#include "hst_stats.h"
#include "hst_tracer.h"

#endif
