// Synthetic events for the analysis tests: known pedestals, noise and
// common-mode shifts, carried as one double per channel after the record
// header.
#ifndef BRISKO_TESTS_ANALYSIS_SYNTHETIC_H
#define BRISKO_TESTS_ANALYSIS_SYNTHETIC_H

#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <vector>

#include "data/Analysis.h"
#include "ostrel/TellumData.h"

// Decodes the doubles into the raw signal and updates pedestals with the
// chosen method.
class SyntheticAnalysis : public Analysis {
public:
    enum Method { Normal, Fast };

    SyntheticAnalysis(int nchip, int nchan, Method method = Fast)
        : Analysis(nchip, nchan, 200, 0.0, 400.0), method(method)
    {
    }

    void decode(TellumData* record) override
    {
        if (during_decode)
            during_decode();
        HstHistogram* out = get_out();
        hst_function_lock(HST_FUNCTION(out));
        std::memcpy(Event(), record->data, sizeof(double) * Ntot());
        hst_function_unlock(HST_FUNCTION(out));
        std::vector<int> channels(Ntot());
        std::iota(channels.begin(), channels.end(), 0);
        if (method == Normal)
            update_pedestals(channels, find_pulse);
        else
            update_pedestals_fast(channels, find_pulse);
    }

    Method method;
    bool find_pulse = false;
    std::function<void()> during_decode;
};

// One event record holding the values.
inline Ostrel::ModuleData* make_event(const std::vector<double>& raw, uint32_t counter = 0)
{
    const int bytes = static_cast<int>(raw.size() * sizeof(double));
    Ostrel::ModuleData* block = TellumData::create_packet(TellumData::EVENT_RECORD, 7, bytes);
    TellumData* r = TellumData::from(block);
    r->event_counter = counter;
    std::memcpy(r->data, raw.data(), bytes);
    return block;
}

inline void feed(Analysis& ana, const std::vector<double>& raw, uint32_t counter = 0)
{
    Ostrel::ModuleData* block = make_event(raw, counter);
    ana.Fill(TellumData::from(block));
    block->dec_ref();
}

// Channel i: pedestal 400 + 2i, noise 2 + 0.5 (i mod 4); every chip moves by
// its own common-mode shift, uniform within ±cm_spread.
class Generator {
public:
    Generator(int nchip, int nchan, double cm_spread, unsigned seed = 12345)
        : nchip(nchip), nchan(nchan), cm_spread(cm_spread), rng(seed)
    {
        for (int i = 0; i < nchip * nchan; ++i) {
            ped.push_back(400.0 + 2.0 * i);
            sigma.push_back(2.0 + 0.5 * (i % 4));
        }
    }

    // With shifts given, those are the chips' common modes; otherwise they
    // are drawn.
    std::vector<double> next(const std::vector<double>& shifts = {})
    {
        std::uniform_real_distribution<double> cm(-cm_spread, cm_spread);
        std::normal_distribution<double> gauss(0.0, 1.0);
        std::vector<double> raw(ped.size());
        for (int c = 0; c < nchip; ++c) {
            const double shift = shifts.empty() ? cm(rng) : shifts[c];
            for (int k = 0; k < nchan; ++k) {
                const int i = c * nchan + k;
                raw[i] = ped[i] + shift + sigma[i] * gauss(rng);
            }
        }
        return raw;
    }

    int nchip;
    int nchan;
    double cm_spread;
    std::mt19937 rng;
    std::vector<double> ped;
    std::vector<double> sigma;
};

#endif
