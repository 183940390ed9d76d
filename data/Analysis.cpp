#include "data/Analysis.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <initializer_list>
#include <mutex>

#include "ostrel/TellumData.h"

namespace {

const int default_min_sample = 256;

// Holds the locks of a few histograms, always taken in the order given.
class HistogramLock {
public:
    HistogramLock(std::initializer_list<HstHistogram*> hs) : held(hs)
    {
        for (HstHistogram* h : held)
            hst_function_lock(HST_FUNCTION(h));
    }
    ~HistogramLock()
    {
        for (auto it = held.rbegin(); it != held.rend(); ++it)
            hst_function_unlock(HST_FUNCTION(*it));
    }
    HistogramLock(const HistogramLock&) = delete;
    HistogramLock& operator=(const HistogramLock&) = delete;

private:
    std::vector<HstHistogram*> held;
};

// How long the pedestal settings are taken as they were last read.
constexpr long long settings_period_ms = 100;

long long coarse_ms()
{
    // A clock of a few milliseconds' resolution that costs next to nothing.
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::atomic<Analysis::PedestalSource> pedestal_source{nullptr};

} // namespace

void Analysis::set_pedestal_source(PedestalSource source)
{
    pedestal_source = source;
}

Analysis::PedestalSettings Analysis::current_pedestal_settings()
{
    if (PedestalSource source = pedestal_source.load())
        return source();
    return {default_min_sample, true};
}

const Analysis::PedestalSettings& Analysis::pedestal_settings()
{
    const long long now = coarse_ms();
    if (settings_time < 0 || now - settings_time >= settings_period_ms) {
        settings_time = now;
        settings = current_pedestal_settings();
    }
    return settings;
}

Analysis::Analysis(int nc, int nch, int nb, double xmin, double xmax)
    : HstData(nc, nch, nb, xmin, xmax), n_sampled(0), n_pre(Ntot()), trigger(0.0),
      g_nevts(default_min_sample), noise_weight(1.0 / 1024.0), ped_weight(1.0 / 128.0),
      inside(false), sn_max(0.0), seed_cut(5.0), neighbor_cut(2.5), do_cmmd(true),
      do_update(true), emin(-1e10), emax(1e10)
{
    allocate_work_arrays();
}

Analysis::~Analysis()
{
    clear();
}

void Analysis::allocate_work_arrays()
{
    const size_t n = static_cast<size_t>(Ntot());
    pedmax.assign(n, 0.0);
    pedmin.assign(n, 0.0);
    pd2.assign(n, 0.0);
    nevts.assign(n, 0.0);
}

void Analysis::Resize(int nc, int nch)
{
    // Waits for the event in hand: its decoding uses the channel count, the
    // per-channel histograms and the work arrays that change here.
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    if (nc != Nchip() || nch != Nchan()) {
        set_channels(nc, nch);
        n_pre = Ntot();
    }
    allocate_work_arrays();
}

void Analysis::clear()
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    pedmax.clear();
    pedmin.clear();
    pd2.clear();
    nevts.clear();
}

void Analysis::Init()
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    {
        // The pedestal updates work on these under the same locks; a reset
        // from another thread waits for the event in hand.
        HistogramLock lock({get_out(), get_chan(), get_ped(), get_noise()});
        std::fill(pedmax.begin(), pedmax.end(), 0.0);
        std::fill(pedmin.begin(), pedmin.end(), 0.0);
        std::fill(pd2.begin(), pd2.end(), 0.0);
        std::fill(nevts.begin(), nevts.end(), 0.0);
        trigger = 0.0;
        n_sampled = 0;
        n_pre = Ntot();
        sn_max = 0.0;
    }
    HstData::Init();
}

void Analysis::reset_pedestals()
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    HistogramLock lock({get_out(), get_chan(), get_ped(), get_noise()});
    hst_histogram_reset(get_ped());
    hst_histogram_reset(get_noise());
    restart_sampling();
}

void Analysis::distrust_pedestals()
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    HistogramLock lock({get_out(), get_chan(), get_ped(), get_noise()});
    restart_sampling();
}

// Needs the locks of the four per-channel histograms.
void Analysis::restart_sampling()
{
    n_sampled = 0;
    n_pre = Ntot();
    std::fill(nevts.begin(), nevts.end(), 0.0);
    std::fill(pedmin.begin(), pedmin.end(), 0.0);
    std::fill(pedmax.begin(), pedmax.end(), 0.0);
}

bool Analysis::data_valid(TellumData*) const
{
    return true;
}

void Analysis::decode(TellumData*) {}

void Analysis::init_run() {}

void Analysis::end_run() {}

int Analysis::pop_hit()
{
    if (hits.empty())
        return -1;
    const int h = hits.back();
    hits.pop_back();
    return h;
}

void Analysis::Fill(TellumData* record)
{
    if (!record)
        return;
    // One lock for the whole event: a new channel count (Resize) waits
    // until the event is analysed, and the next event is decoded against
    // the new shape. Recursive, so that an analysis may resize itself
    // while it decodes.
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    if (inside)
        return;
    inside = true;
    if (record->header != TellumData::MARKER || !data_valid(record)) {
        inside = false;
        return;
    }
    decode(record);
    Analyze();
    hits.clear();
    trigger = record->event_counter;
    ++n_sampled;
    inside = false;
}

// Needs the locks of "out", "chan" and "ped".
void Analysis::common_mode()
{
    const int nchip = Nchip();
    if (!DoingCommonMode()) {
        for (int c = 0; c < nchip; ++c) {
            SetCmmd(0.0, c);
            SetAvNoise(0.0, c);
        }
        return;
    }
    const int nchan = Nchan();
    const int ntot = Ntot();
    const double* raw = Event();
    const double* ped = Ped();
    double* sig = Chan();
    for (int i = 0; i < ntot; ++i)
        sig[i] = raw[i] - ped[i];

    const double cut = neighbor_cut.load();
    for (int c = 0; c < nchip; ++c) {
        double* x = sig + c * nchan;
        double mean = 0.0;
        double sigma = 0.0;
        for (int pass = 0; pass < 3; ++pass) {
            double sum = 0.0;
            double sum2 = 0.0;
            int n = 0;
            if (pass == 0) {
                for (int i = 0; i < nchan; ++i) {
                    sum += x[i];
                    sum2 += x[i] * x[i];
                }
                n = nchan;
            } else {
                // Passes after the first leave out the channels far from
                // the mean, hits above all.
                const double limit = cut * sigma;
                for (int i = 0; i < nchan; ++i) {
                    if (!(std::fabs(x[i] - mean) < limit))
                        continue;
                    sum += x[i];
                    sum2 += x[i] * x[i];
                    ++n;
                }
            }
            if (!n)
                continue;
            mean = sum / n;
            // Rounding can make equal values give a tiny negative variance.
            sigma = std::sqrt(std::max(0.0, sum2 / n - mean * mean));
        }
        for (int i = 0; i < nchan; ++i)
            x[i] -= mean;
        SetCmmd(mean, c);
        SetAvNoise(sigma, c);
    }
}

void Analysis::update_pedestals(std::vector<int>& channels, bool find_pulse)
{
    // Called from an event's decoding (the shape lock is held already) or
    // on its own, from Python: a resize on another thread would replace the
    // histograms and work arrays under the computation.
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    g_nevts = pedestal_settings().min_sample;
    HistogramLock lock({get_out(), get_chan(), get_ped(), get_noise()});

    update.clear();
    const bool sampling = DoingPedestalUpdate() && n_pre.load() != 0;
    if (sampling) {
        common_mode();
        const int nchan = Nchan();
        const int ntot = Ntot();
        const double* raw = Event();
        double* ped = Ped();
        double* noise = Noise();
        for (int i : channels) {
            if (i < 0 || i >= ntot)
                continue;
            if (nevts[i] > g_nevts) {
                update.push_back(i);
                continue;
            }
            const double x = raw[i];
            const double d = x - ped[i] - Cmmd(i / nchan);
            const double d2 = d * d;
            const double n = nevts[i];
            if (n > 20 && d2 > 16.0 * pedmin[i])
                continue;
            ped[i] = (ped[i] * n + x) / (n + 1);
            if (n > 10) {
                const double m = n - 10;
                pedmin[i] = (pedmin[i] * m + d2) / (m + 1);
                noise[i] = std::sqrt(pedmin[i]);
            }
            nevts[i] += 1;
            // A channel counts once, when it reaches the minimum.
            if (nevts[i] == g_nevts && n_pre.load() > 0)
                --n_pre;
        }
        if (update.empty())
            return;
        fast_update(update, find_pulse);
    } else {
        fast_update(channels, find_pulse);
    }
}

void Analysis::update_pedestals_fast(std::vector<int>& channels, bool find_pulse)
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    HistogramLock lock({get_out(), get_chan(), get_ped(), get_noise()});
    fast_update(channels, find_pulse);
}

// Needs the locks of the four per-channel histograms.
void Analysis::fast_update(const std::vector<int>& channels, bool find_pulse)
{
    common_mode();
    const int nchan = Nchan();
    const int nchip = Nchip();
    const int ntot = Ntot();
    const double* raw = Event();
    double* sig = Chan();
    double* ped = Ped();
    double* noise = Noise();
    const bool updating = DoingPedestalUpdate();
    const double pw = ped_weight.load();
    const double nw = noise_weight.load();
    const double seed = seed_cut.load();
    // The common mode of each chip once, and the chip of a channel by
    // counting rather than dividing: channels come in ascending order.
    chip_cm.resize(static_cast<std::size_t>(std::max(nchip, 0)));
    double* cm = chip_cm.data();
    for (int c = 0; c < nchip; ++c)
        cm[c] = Cmmd(c);
    int chip = 0;
    int chip_end = nchan;
    for (int i : channels) {
        if (i < 0 || i >= ntot)
            continue;
        if (i >= chip_end || i < chip_end - nchan) {
            chip = i / nchan;
            chip_end = (chip + 1) * nchan;
        }
        if (updating) {
            if (noise[i] == 0.0)
                noise[i] = 1.0;
            if (ped[i] == 0.0) {
                ped[i] = raw[i];
                continue;
            }
            const double s = raw[i] - ped[i] - cm[chip];
            sig[i] = s;
            const double r = s / noise[i];
            ped[i] += std::max(-1.0, std::min(1.0, pw * (s + cm[chip])));
            if (std::fabs(r) < 5.0)
                noise[i] *= 1.0 - nw + nw * r * r;
        }
        if (find_pulse && noise[i] > 0.0) {
            sig[i] = raw[i] - ped[i];
            if (sig[i] / noise[i] > seed)
                add_hit(i);
        }
    }
}

void Analysis::Analyze()
{
    // A stale value would make an event without hits look like the last
    // one with a pulse.
    sn_max = 0.0;
    if (hits.empty())
        return;
    std::lock_guard<Ostrel::Mutex> lock(get_lock());
    double largest = 0.0;
    while (!hits.empty()) {
        const int i = pop_hit();
        if (i < 0 || i >= Ntot())
            continue;
        const double s = hst_histogram_get_bin_content(get_chan(), i);
        const double r = std::fabs(s / hst_histogram_get_bin_content(get_noise(), i));
        largest = std::max(largest, r);
        fill_spectrum_hitlist(i, s);
    }
    sn_max = largest;
}

void Analysis::fill_spectrum_hitlist(int channel, double energy)
{
    if (channel < 0 || channel >= Ntot())
        return;
    hst_histogram_fill(get_hitmap(), channel, 1.0);
    hst_histogram_fill(get_hsig(0), energy, 1.0);
    hst_histogram_fill(get_hsig(1 + channel / Nchan()), energy, 1.0);
    hst_histogram2d_fill(get_hsig2(), energy, channel, 1.0);
    if (PadMap* map = get_map()) {
        int x = 0;
        int y = 0;
        map->pad(channel, x, y);
        hst_histogram2d_fill(get_h2dmap(), x, y, 1.0);
        if (emin <= energy && energy <= emax)
            hst_histogram2d_fill(get_h2dmap_c(), x, y, 1.0);
    }
}

void Analysis::SetEcuts(double e1, double e2)
{
    std::lock_guard<Ostrel::Mutex> lock(get_lock());
    emin = std::min(e1, e2);
    emax = std::max(e1, e2);
    if (emin == emax) {
        emin = get_range_min();
        emax = get_range_max();
    }
    PadMap* map = get_map();
    HstHistogram2D* cut = get_h2dmap_c();
    if (!map || !cut)
        return;
    HstHistogram2D* hsig2 = get_hsig2();
    HstFunction* xaxis = HST_FUNCTION(hsig2);
    const int nb = hst_function_get_npts(xaxis);
    hst_histogram2d_reset(cut);
    for (int c = 0; c < Ntot(); ++c) {
        int x = 0;
        int y = 0;
        map->pad(c, x, y);
        if (x == PadMap::NO_PAD)
            continue;
        for (int b = 0; b < nb; ++b) {
            const double centre = hst_function_bin_center(xaxis, b);
            if (centre < emin || centre > emax)
                continue;
            const double content = hst_histogram2d_get_cell_content(hsig2, b, c);
            if (content != 0.0)
                hst_histogram2d_fill(cut, x, y, content);
        }
    }
}

double Analysis::get_emin() const
{
    std::lock_guard<Ostrel::Mutex> lock(get_lock());
    return emin;
}

double Analysis::get_emax() const
{
    std::lock_guard<Ostrel::Mutex> lock(get_lock());
    return emax;
}

void Analysis::SetWeights(double pw, double nw)
{
    ped_weight = pw;
    noise_weight = nw;
}
