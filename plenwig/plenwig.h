/* The data objects of the histogram and chart library. */
#ifndef PLENWIG_PLENWIG_H
#define PLENWIG_PLENWIG_H

#include "hst_axis.h"
#include "hst_function.h"
#include "hst_function2d.h"
#include "hst_graph.h"
#include "hst_histogram.h"
#include "hst_histogram2d.h"
#include "hst_profile.h"
#include "hst_stats.h"
#include "hst_tracer.h"

#endif
