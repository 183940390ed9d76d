/* Axis division: tidy tick steps (1, 2 or 5 times a power of ten) and the
 * power of ten by which the labels of a range are divided. */
#ifndef PLENWIG_HST_AXIS_H
#define PLENWIG_HST_AXIS_H

#include <glib.h>

G_BEGIN_DECLS

/* Ticks covering Wmin .. Wmax with about Nold divisions, in single
 * precision: first tick BinLow, last tick BinHigh, Nbins steps of Bwidth
 * between them. With Nold -1 and a positive Bwidth on entry, that width is
 * kept. */
void getbins(float Wmin, float Wmax, int Nold, float* BinLow, float* BinHigh, int* Nbins, float* Bwidth);

/* Exponent, a multiple of scale, by which the span vmax - vmin is divided
 * for labelling, and the span so divided. */
void get_order_of_magnitude(double vmin, double vmax, double scale, double* mantisa, double* exponent);

/* Significant digits ("%.*g") that keep tick labels lo .. hi, step apart,
 * apart in print: the digits of the largest value down to the step's (and
 * at least its whole part), at least 3 and at most what single precision
 * holds (7). */
int hst_axis_label_digits(double lo, double hi, double step);

/* Number of steps of width bw from first to last, rounded to the nearest
 * whole step; -1 when bw is not a positive finite width, the ends are not
 * finite, or the count would exceed limit. Tick loops run over this integer
 * index and place tick i at first + i*bw in double precision, which ends
 * for any range, also where adding bw to a large float changes nothing. */
int hst_axis_tick_count(double first, double last, double bw, int limit);

G_END_DECLS

#endif
