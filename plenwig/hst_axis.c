/* Axis division in single precision, as the labels are printed. */
#include "hst_axis.h"

#include <math.h>

/* The step search repeats only while the count hits exactly half the wanted
 * divisions; it settles in a few rounds, the bound only guards odd input. */
#define MAX_STEP_SEARCH 1000

/* Whole part of a float as a double: the edges of a wide range divided by a
 * fine step need not fit an int. */
static double trunc_f(float v)
{
    return trunc((double)v);
}

void getbins(float Wmin, float Wmax, int Nold, float* BinLow, float* BinHigh, int* Nbins, float* Bwidth)
{
    g_return_if_fail(BinLow != NULL && BinHigh != NULL && Nbins != NULL && Bwidth != NULL);

    float AL = Wmin < Wmax ? Wmin : Wmax;
    float AH = Wmin < Wmax ? Wmax : Wmin;
    if (AL == AH) {
        AH = AL + 1.0f;
        /* Far from 0 the 1 is lost in single precision. */
        if (AH == AL && isfinite(AL))
            AH = nextafterf(AL, INFINITY);
    }

    int moved_low = 0;
    int moved_high = 0;
    if (!(Nold == -1 && *Bwidth > 0.0f)) {
        int n = Nold < 2 ? 2 : Nold;
        for (int round = 0; round < MAX_STEP_SEARCH; round++, n++) {
            const float awidth = (AH - AL) / (float)n;
            if (!(awidth <= 1e30f) || !(awidth >= 1e-30f))
                goto end_correction;
            int jlog = (int)log10((double)awidth);
            if (awidth <= 1.0f)
                jlog--;
            const float sigfig = (float)pow(10.0, -jlog) * awidth;
            float sig;
            if (sigfig <= 1.0f) {
                sig = 1.0f;
            } else if (sigfig <= 2.0f) {
                sig = 2.0f;
            } else if (sigfig <= 5.0f) {
                sig = 5.0f;
            } else {
                sig = 1.0f;
                jlog++;
            }
            const float p10 = (float)pow(10.0, jlog);
            *Bwidth = p10 * sig;

            float alb = AL / *Bwidth;
            double klow = trunc_f(alb);
            if (alb < 0.0f)
                klow -= 1.0;
            *BinLow = p10 * ((float)klow * sig);
            alb = AH / *Bwidth + 1.00001f;
            double khigh = trunc_f(alb);
            if (alb < 0.0f)
                khigh -= 1.0;
            *BinHigh = p10 * ((float)khigh * sig);
            const double nb = khigh - klow;
            *Nbins = nb > G_MAXINT ? G_MAXINT : (int)nb;

            if (Nold > 5 && 2 * (gint64)*Nbins == Nold)
                continue;
            if (Nold <= 1 && Nold != -1 && *Nbins != 1) {
                *Bwidth *= 2.0f;
                *Nbins = 1;
            }
            break;
        }
    } else {
        /* A width given by the caller: edges on multiples of it. */
        float alb = AL / *Bwidth;
        double klow = trunc_f(alb);
        if (alb < 0.0f)
            klow -= 1.0;
        alb = AH / *Bwidth + 1.00001f;
        double khigh = trunc_f(alb);
        if (alb < 0.0f)
            khigh -= 1.0;
        *BinLow = (float)klow * *Bwidth;
        *BinHigh = (float)khigh * *Bwidth;
        const double nb = khigh - klow;
        *Nbins = nb > G_MAXINT ? G_MAXINT : (int)nb;
    }

end_correction:;
    /* Ends that lie outside the range move in by one step; the count follows
     * the ends that moved. */
    const float atest = *Bwidth * 0.0001f;
    if (fabsf(*BinLow - Wmin) >= atest) {
        *BinLow += *Bwidth;
        moved_low = 1;
    }
    if (fabsf(*BinHigh - Wmax) >= atest) {
        *BinHigh -= *Bwidth;
        moved_high = 1;
    }
    *Nbins -= moved_low + moved_high;
}

void get_order_of_magnitude(double vmin, double vmax, double scale, double* mantisa, double* exponent)
{
    g_return_if_fail(mantisa != NULL && exponent != NULL);
    const double b = vmax - vmin;
    const double sign = b < 0.0 ? -1.0 : 1.0;
    double e = 0.0;
    if (b != 0.0 && isfinite(b) && scale > 0.0) {
        const double v = log10(fabs(b)) / scale;
        if (fabs(b) >= 1.0) {
            e = sign * scale * (sign > 0.0 ? floor(fabs(v)) : ceil(fabs(v)));
        } else if (v < -1.0) {
            /* Spans below 10^-scale get a negative exponent, so that their
             * labels do not shrink towards 0; wider spans below 1 print as
             * they are. */
            e = scale * floor(v);
        }
    }
    *exponent = e;
    *mantisa = e == 0.0 ? b : b / pow(10.0, e);
}

int hst_axis_label_digits(double lo, double hi, double step)
{
    const double top = MAX(fabs(lo), fabs(hi));
    if (!isfinite(top) || !isfinite(step) || !(step > 0.0) || !(top > 0.0))
        return 3;
    /* A step that is a float's rounding of 0.2 must not count as 0.19999. */
    const double fuzz = 1e-4;
    const int whole = (int)floor(log10(top) + fuzz) + 1;
    /* The whole part in full, too: 2050 rather than 2.05e+03. */
    const int digits = MAX(whole, whole - (int)floor(log10(step) + fuzz));
    return CLAMP(digits, 3, 7);
}

int hst_axis_tick_count(double first, double last, double bw, int limit)
{
    if (!isfinite(first) || !isfinite(last) || !isfinite(bw) || !(bw > 0.0))
        return -1;
    const double n = floor((last - first) / bw + 0.5);
    if (!(n >= 0.0) || n > limit)
        return -1;
    return (int)n;
}
