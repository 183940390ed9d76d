// The histograms that describe one module's channels, and their monitoring
// stream.
#ifndef BRISKO_DATA_HSTDATA_H
#define BRISKO_DATA_HSTDATA_H

#include <atomic>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <vector>

#include "data/PadMap.h"
#include "ostrel/Thread.h"
#include "plenwig/hst_histogram.h"
#include "plenwig/hst_histogram2d.h"

// Pedestals, noise, the last event, hit counts, signal spectra (overall and
// per chip), signal against channel and two pad maps of hits, as chart-library
// objects so that monitor windows draw them while the analysis fills them.
//
// Locking: every histogram carries its own lock, and each library call takes
// it. Whoever writes the arrays that Event(), Chan(), Ped() and Noise() hand
// out holds that histogram's lock (hst_function_lock) meanwhile. The histogram
// set itself (which objects there are) is guarded by the fill lock: set_bins
// and set_map replace objects under it, and the analysis fills under it.
// Windows keep references of their own to the objects they show.
//
// The shape lock (recursive) is held by whatever changes the set, so that
// set_bins, set_map and a new channel count are made one at a time; the
// analysis holds it for the whole of each event it fills and while it resets
// its work, so the channel count, the per-channel objects and the work arrays
// do not change under it. Lock order: a module's settings lock, the shape
// lock, the fill lock, the histograms' locks. The shape lock is never taken
// with the fill lock or a histogram's lock held, and the monitor windows'
// refresh does not take it.
class HstData {
public:
    // Counts below 1 and an empty or infinite range raise ConfigException.
    HstData(int nchip, int nchan, int nbins, double xmin, double xmax);
    HstData(const HstData& other);
    HstData& operator=(const HstData& other);
    virtual ~HstData();

    // Zeroes the common mode and average noise of every chip and empties
    // every histogram.
    virtual void Init();

    // Sets the binning of the signal spectra (the smaller bound as minimum)
    // and builds the histogram set: the signal histograms afresh; the
    // per-channel ones (pedestals, noise, hit map, event display) and the
    // pad-map histograms are kept, contents and all, while their shape is
    // unchanged.
    void set_bins(int nbins, double vmin, double vmax);
    // Takes a copy of the map and shapes the pad-map histograms after it.
    void set_map(const PadMap& map);
    // Changes whenever set_bins, set_map or a new channel count has put new
    // histogram objects in place of old ones. A window that keeps its own
    // references compares it on its refresh and, when it has changed, takes
    // the objects anew (under the fill lock) so as to show the live set.
    unsigned get_generation() const { return generation.load(); }

    // Writes the pedestals and noise of the first channels, as many as both
    // lists and the module hold, under the fill lock and the two
    // histograms' locks: an analysis running in another thread sees the old
    // set or the new one, never half of each. Returns the channels written.
    int set_pedestals(const std::vector<double>& ped, const std::vector<double>& noise);
    // The pedestals and noise of every channel, read under the same locks.
    void get_pedestals(std::vector<double>& ped, std::vector<double>& noise) const;
    // Releases every histogram, the map and the per-chip values.
    void clear();

    int Nchip() const { return nchip; }
    int Nchan() const { return nchan; }
    int Ntot() const { return ntot; }
    int get_nbins() const { return nbins; }
    double get_range_min() const { return rmin; }
    double get_range_max() const { return rmax; }
    // Bins per unit of signal.
    double get_bwidth() const { return bwidth; }

    PadMap* get_map() const { return map; }
    HstHistogram* get_ped() const { return ped; }
    HstHistogram* get_noise() const { return noise; }
    HstHistogram* get_out() const { return out; }
    HstHistogram* get_chan() const { return chan; }
    HstHistogram* get_hitmap() const { return hitmap; }
    // 0: all chips; k: chip k − 1. Null outside 0 .. nchip.
    HstHistogram* get_hsig(int k) const;
    HstHistogram2D* get_hsig2() const { return hsig2; }
    HstHistogram2D* get_h2dmap() const { return h2dmap; }
    HstHistogram2D* get_h2dmap_c() const { return h2dmap_c; }

    // The bin arrays of the per-channel histograms, ntot values each: raw
    // signal of the last event, corrected signal, pedestals, noise.
    double* Event() const { return bins(out); }
    double* Chan() const { return bins(chan); }
    double* Ped() const { return bins(ped); }
    double* Noise() const { return bins(noise); }
    // The bin array of spectrum k (as get_hsig).
    double* Signal(int k) const { return bins(get_hsig(k)); }

    // Per-chip values of the last event; 0 for a chip outside the module.
    // Inline: the analysis reads them for every channel of every event.
    double Cmmd(int ichip) const { return chip_value(cmmd, ichip); }
    void SetCmmd(double value, int ichip) { set_chip_value(cmmd, ichip, value); }
    double AvNoise(int ichip) const { return chip_value(avnoise, ichip); }
    void SetAvNoise(double value, int ichip) { set_chip_value(avnoise, ichip, value); }

    // The histograms' fill lock.
    Ostrel::Mutex& get_lock() const { return m_fill; }

protected:
    // Changes the channel count. The histograms whose shape follows it are
    // built anew; a pad map that places no channel is replaced by the
    // default one. Counts below 1 raise ConfigException.
    void set_channels(int nchip, int nchan);

    mutable Ostrel::Mutex m_fill;
    // The shape lock.
    mutable std::recursive_mutex m_shape;

private:
    std::atomic<unsigned> generation{0};
    static double* bins(HstHistogram* h);
    using ChipValues = std::unique_ptr<std::atomic<double>[]>;
    // The value of a chip, or null for a chip outside the module.
    std::atomic<double>* per_chip(const ChipValues& values, int ichip) const
    {
        return values && ichip >= 0 && ichip < nchip ? &values[ichip] : nullptr;
    }
    double chip_value(const ChipValues& values, int ichip) const
    {
        const std::atomic<double>* v = per_chip(values, ichip);
        return v ? v->load(std::memory_order_relaxed) : 0.0;
    }
    void set_chip_value(const ChipValues& values, int ichip, double value)
    {
        if (std::atomic<double>* v = per_chip(values, ichip))
            v->store(value, std::memory_order_relaxed);
    }
    // Makes the set for a binning and a channel count and hands it over,
    // counts included, in one step under the fill lock.
    void build(int nbins, double vmin, double vmax, int nchip, int nchan);
    void assign(const HstData& other);

    int nchip;
    int nchan;
    int nbins;
    int ntot;
    double bwidth;
    double rmax;
    double rmin;
    PadMap* map;
    ChipValues cmmd;
    ChipValues avnoise;
    HstHistogram* out;
    HstHistogram* chan;
    HstHistogram* ped;
    HstHistogram* noise;
    HstHistogram* hitmap;
    std::vector<HstHistogram*> hsig;
    HstHistogram2D* hsig2;
    HstHistogram2D* h2dmap;
    HstHistogram2D* h2dmap_c;
};

// The monitoring stream of the histogram set: big-endian 32-bit counts and
// lengths, host-order doubles, "H1D " and "H2D " blocks.
std::ostream& operator<<(std::ostream& os, const HstData& data);
// Reading the stream back is not supported: says so and reads nothing.
std::istream& operator>>(std::istream& is, HstData& data);

#endif
