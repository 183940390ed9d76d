// Random numbers for simulated VME data.
#include <cmath>
#include <cstdlib>

#include "daq/vme/VMEmanager.h"

namespace {

// The divisor is the C library's RAND_MAX on the platforms we run on; it is
// fixed so that a sequence of rand() values always maps to the same numbers.
const double rand_max = 2147483647.0;

struct GaussState {
    double mean = std::nan("");
    double stdev = std::nan("");
    bool cached = false;
    double value = 0.0;
};

GaussState gauss;

} // namespace

double randuniform()
{
    return std::rand() / rand_max;
}

double randflat(double a, double b)
{
    return a + (b - a) * std::rand() / rand_max;
}

double randgauss(double mean, double stdev)
{
    // A NaN never compares equal, so it always starts afresh.
    if (!(mean == gauss.mean && stdev == gauss.stdev)) {
        gauss.cached = false;
        gauss.mean = mean;
        gauss.stdev = stdev;
    }
    if (gauss.cached) {
        gauss.cached = false;
        return gauss.mean + gauss.stdev * gauss.value;
    }
    double p, q, s;
    do {
        p = 2.0 * randuniform() - 1.0;
        q = 2.0 * randuniform() - 1.0;
        s = p * p + q * q;
    } while (s > 1.0 || s == 0.0);
    const double f = std::sqrt(-2.0 * std::log(s) / s);
    gauss.value = q * f;
    gauss.cached = true;
    return mean + stdev * p * f;
}

void randgauss2d(double m1, double s1, double m2, double s2, double corr, double* x, double* y)
{
    const double a = std::sqrt((1.0 + corr) / 2.0);
    const double b = std::sqrt((1.0 - corr) / 2.0);
    const double g1 = randgauss(0.0, 1.0);
    const double g2 = randgauss(0.0, 1.0);
    *x = (a * g1 + b * g2) * s1 + m1;
    *y = (a * g1 - b * g2) * s2 + m2;
}
