#include "fenrow/streams/FenrowAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "fenrow/net/Packets.h"
#include "ostrel/TellumData.h"

namespace {

// The board payload of a record as far as the record holds it.
struct PayloadView {
    double temp = 0.0;
    unsigned n = 0;       // entries the mode uses
    int mode = 0;
    const char* data = nullptr;
    std::size_t nwords = 0;   // data words inside the record

    std::uint16_t operator[](std::size_t k) const
    {
        std::uint16_t w;
        std::memcpy(&w, data + 2 * k, sizeof w);
        return w;
    }
};

std::size_t payload_bytes(const TellumData* record)
{
    return record->size > sizeof(TellumData) ? record->size - sizeof(TellumData) : 0;
}

PayloadView view_of(const TellumData* record)
{
    PayloadView v;
    const char* p = record->data;
    std::uint16_t n = 0;
    std::uint16_t mode = 0;
    std::memcpy(&v.temp, p + offsetof(FenrowPayload, temp), sizeof v.temp);
    std::memcpy(&n, p + offsetof(FenrowPayload, nchan), sizeof n);
    std::memcpy(&mode, p + offsetof(FenrowPayload, romode), sizeof mode);
    v.n = n;
    v.mode = mode;
    v.data = p + FENROW_PAYLOAD_HEAD;
    v.nwords = (payload_bytes(record) - FENROW_PAYLOAD_HEAD) / 2;
    return v;
}

// Holds the locks of the histograms whose arrays decode writes, in the order
// the pedestal update takes them.
class WriteLock {
public:
    explicit WriteLock(const Analysis& a) : held{a.get_out(), a.get_chan(), a.get_ped()}
    {
        for (HstHistogram* h : held)
            hst_function_lock(HST_FUNCTION(h));
    }
    ~WriteLock()
    {
        for (int i = 2; i >= 0; --i)
            hst_function_unlock(HST_FUNCTION(held[i]));
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    HstHistogram* held[3];
};

} // namespace

static_assert(offsetof(FenrowPayload, romode) + 2 == FENROW_PAYLOAD_HEAD, "data words follow the mode");

FenrowAnalysis::FenrowAnalysis(int nchip, int nchan, unsigned long fw, int k)
    : Analysis(nchip, nchan, 256, 0.0, 4096.0), firmware(fw), temp(0.0), kind(k)
{
}

FenrowAnalysis::~FenrowAnalysis() = default;

void FenrowAnalysis::fill_spectrum_hitlist(int channel, double x)
{
    Analysis::fill_spectrum_hitlist(channel, std::fabs(x));
}

bool FenrowAnalysis::data_valid(TellumData* record) const
{
    return record && payload_bytes(record) >= static_cast<std::size_t>(FENROW_PAYLOAD_HEAD);
}

void FenrowAnalysis::decode(TellumData* record)
{
    if (!data_valid(record))
        return;
    const int ntot = Ntot();
    // Kept from event to event: no allocation per event.
    std::vector<int>& list = decoded;
    list.clear();
    bool all = true;
    const PayloadView d = view_of(record);
    {
        WriteLock lock(*this);
        double* event = Event();
        double* chan = Chan();
        const double* ped = Ped();
        std::fill(event, event + ntot, 0.0);
        std::fill(chan, chan + ntot, 0.0);
        temp.store(d.temp, std::memory_order_relaxed);
        DoCommonMode(false);

        auto set_channel = [&](int c, std::uint16_t value) {
            event[c] = value;
            chan[c] = event[c] - ped[c];
            list.push_back(c);
        };
        switch (d.mode) {
        case RO_SPARSE:
            all = false;
            if (d.nwords >= 2 && d[0] < ntot) {
                add_hit(d[0]);
                set_channel(d[0], d[1]);
            }
            break;
        case RO_ADJACENT: {
            all = false;
            if (d.nwords < 2)
                break;
            const int c = d[0];
            if (c < ntot) {
                add_hit(c);
                set_channel(c, d[1]);
            }
            for (long k = 1; k <= static_cast<long>(d.n) && static_cast<std::size_t>(2 * k + 1) < d.nwords; ++k) {
                if (c + k < ntot)
                    set_channel(static_cast<int>(c + k), d[2 * k]);
                // Channel 0 is not taken as a lower neighbour.
                if (c - k > 0 && c - k < ntot)
                    set_channel(static_cast<int>(c - k), d[2 * k + 1]);
            }
            break;
        }
        case RO_SERIAL: {
            const std::size_t n = std::min<std::size_t>({d.n, d.nwords, static_cast<std::size_t>(ntot)});
            for (std::size_t j = 0; j < n; ++j) {
                event[j] = d[j];
                list.push_back(static_cast<int>(j));
            }
            if (kind == ordinary)
                DoCommonMode(true);
            break;
        }
        default:
            break;
        }
    }
    if (kind == hdr)
        return;
    if (pedestal_settings().normal_method)
        update_pedestals(list, all);
    else
        update_pedestals_fast(list, all);
}

HDRanalysis::HDRanalysis(int nchip, int, unsigned long fw) : FenrowAnalysis(nchip, 64, fw, hdr) {}

void HDRanalysis::Analyze()
{
    std::lock_guard<Ostrel::Mutex> lock(get_lock());
    const int ntot = Ntot();
    double sum = 0.0;
    int largest = 0;
    int peak = -1;
    {
        HstFunction* out = HST_FUNCTION(get_out());
        hst_function_lock(out);
        const double* event = Event();
        for (int i = 0; i < ntot; ++i) {
            const double v = event[i];
            sum += v - baseline;
            if (v > largest) {
                largest = static_cast<int>(v);
                peak = i;
            }
        }
        hst_function_unlock(out);
    }
    sum /= 16.0;
    if (peak > 0 && peak < ntot && sum > 0.0)
        fill_spectrum_hitlist(peak, sum);
}
