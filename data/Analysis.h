// Per-module event analysis: pedestals, noise, common mode, hits and spectra.
#ifndef BRISKO_DATA_ANALYSIS_H
#define BRISKO_DATA_ANALYSIS_H

#include <atomic>
#include <vector>

#include "data/HstData.h"

struct TellumData;

// A module's analysis class decodes its payload (decode) into the raw signal
// of each channel (Event(), written under the "out" histogram's lock) and
// calls update_pedestals or update_pedestals_fast for the decoded channels;
// the base tracks pedestals and noise, corrects the common mode of each chip,
// collects hits by a signal-to-noise cut and fills the spectra and pad maps.
//
// Fill runs in one thread at a time (the monitor queue's, or a run
// manager's): it holds the shape lock (see HstData) for the whole event, so
// Resize, Init, reset_pedestals, distrust_pedestals, set_bins and set_map,
// which take it too, wait for the event in hand, and the next event is
// decoded against the shape they leave. decode and Analyze run under it and
// must not wait for a lock that is held while the shape lock is waited for:
// a module's settings lock (a Python analysis's resize and pedestal
// computation give the interpreter lock up first). The cuts, weights and
// flags may be changed from any thread. Spectra and pad maps are filled
// under the fill lock (get_lock()), which fill_spectrum_hitlist expects its
// caller to hold.
class Analysis : public HstData {
public:
    Analysis(int nchip, int nchan, int nbins, double xmin, double xmax);
    Analysis(const Analysis&) = delete;
    Analysis& operator=(const Analysis&) = delete;
    ~Analysis() override;

    // Empties the histograms and starts pedestal pre-sampling over.
    void Init() override;
    // Fills the spectra, the hit map and the pad maps with one hit; channels
    // outside the module are ignored. Called with the fill lock held.
    virtual void fill_spectrum_hitlist(int channel, double energy);
    // Turns the hits of the event into spectra.
    virtual void Analyze();
    virtual bool data_valid(TellumData* record) const;
    virtual void decode(TellumData* record);
    virtual void init_run();
    virtual void end_run();

    // Changes the number of chips and channels; the per-channel work arrays
    // start afresh (and, for a new count, the histograms and pre-sampling).
    // Under the shape lock: waits for an event being filled on another
    // thread. May be called with a module's settings lock held.
    void Resize(int nchip, int nchan);
    // Frees the per-channel work arrays.
    void clear();
    // Pedestal and noise computation starts over.
    void reset_pedestals();
    // Analyses one event record; records without the 0xCAFE marker, records
    // data_valid refuses and nested calls are ignored.
    void Fill(TellumData* record);

    // The pre-sampling method: every channel collects a minimum of samples
    // (the general section's min_sample) for a plain mean and variance,
    // then goes on with the fast method. find_pulse: look for hits.
    void update_pedestals(std::vector<int>& channels, bool find_pulse);
    // The fast method: running pedestal and noise with fixed weights.
    void update_pedestals_fast(std::vector<int>& channels, bool find_pulse);
    // Both take the shape lock, so that outside an event (from Python) they
    // and a resize wait for each other; channels beyond the module's count
    // when they run are left out.

    // Energy window of the cut pad map; equal bounds select the whole range.
    void SetEcuts(double e1, double e2);
    double get_emin() const;
    double get_emax() const;
    void SetWeights(double ped_weight, double noise_weight);
    double get_ped_weight() const { return ped_weight.load(); }
    double get_noise_weight() const { return noise_weight.load(); }
    double get_seed_cut() const { return seed_cut.load(); }
    void set_seed_cut(double cut) { seed_cut = cut; }
    double get_neighbor_cut() const { return neighbor_cut.load(); }
    void set_neighbor_cut(double cut) { neighbor_cut = cut; }
    void DoPedestalUpdate(bool flag) { do_update = flag; }
    bool DoingPedestalUpdate() const { return do_update.load(); }
    void DoCommonMode(bool flag) { do_cmmd = flag; }
    bool DoingCommonMode() const { return do_cmmd.load(); }

    // Largest |signal / noise| among the hits of the last event.
    double max_pulse() const { return sn_max.load(); }
    void add_hit(int channel) { hits.push_back(channel); }
    int nhits() const { return static_cast<int>(hits.size()); }
    // The most recent hit, removed; −1 when there is none.
    int pop_hit();

    // Events analysed since Init, and the event counter of the last one.
    int get_n_sampled() const { return n_sampled.load(); }
    double get_trigger() const { return trigger.load(); }
    // Per-channel sample counts and variances of the pre-sampling method;
    // valid until the next Resize (for the filling thread, or under the
    // shape lock).
    double* Nevts() { return nevts.data(); }
    double* PedMax() { return pedmax.data(); }
    double* PedMin() { return pedmin.data(); }
    int get_min_sample() const { return static_cast<int>(g_nevts); }
    int got_my_pedestal() const { return n_pre.load() - 1; }
    // Channels still pre-sampling; 0 once pedestals are known.
    int get_n_pre() const { return n_pre.load(); }
    // Takes the current pedestals as valid: no pre-sampling.
    void trust_pedestals() { n_pre = 0; }
    // Takes that back: every channel samples its pedestal afresh, starting
    // from the values in place (reset_pedestals also zeroes them).
    void distrust_pedestals();

    // The pedestal settings of the configuration, which the window may
    // change while runs go on.
    struct PedestalSettings {
        int min_sample;
        bool normal_method;   // the pre-sampling method
    };
    using PedestalSource = PedestalSettings (*)();
    // Where every analysis takes them from: the configuration hands its
    // source in as it registers its sections. Until then, or with null, 256
    // events and the normal method. Any thread.
    static void set_pedestal_source(PedestalSource source);
    static PedestalSettings current_pedestal_settings();

protected:
    // The pedestal settings, looked up at most ten times a second rather
    // than for every event (a change made meanwhile holds from the next
    // look).
    const PedestalSettings& pedestal_settings();

private:
    void restart_sampling();
    void common_mode();
    void fast_update(const std::vector<int>& channels, bool find_pulse);
    void allocate_work_arrays();

    PedestalSettings settings{256, true};
    long long settings_time = -1;   // coarse clock, milliseconds
    std::vector<int> update;        // update_pedestals' work list
    std::vector<double> chip_cm;    // fast_update's common mode of each chip

    std::atomic<int> n_sampled;
    std::atomic<int> n_pre;
    std::atomic<double> trigger;
    std::vector<double> pedmax;
    std::vector<double> pedmin;
    std::vector<double> pd2;
    std::vector<double> nevts;
    double g_nevts;
    std::atomic<double> noise_weight;
    std::atomic<double> ped_weight;
    bool inside;
    std::atomic<double> sn_max;
    std::atomic<double> seed_cut;
    std::atomic<double> neighbor_cut;
    std::atomic<bool> do_cmmd;
    std::atomic<bool> do_update;
    double emin;
    double emax;
    std::vector<int> hits;
};

#endif
