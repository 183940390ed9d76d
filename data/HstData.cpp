#include "data/HstData.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <mutex>
#include <string>

#include "ostrel/Exception.h"

namespace {

// The chart library's largest bin count on one axis.
const long long max_bins = 999999;

void unref(HstHistogram*& h)
{
    if (h)
        g_object_unref(h);
    h = nullptr;
}

void unref(HstHistogram2D*& h)
{
    if (h)
        g_object_unref(h);
    h = nullptr;
}

int bin_count(HstHistogram* h)
{
    return h ? hst_function_get_npts(HST_FUNCTION(h)) : -1;
}

HstHistogram* new_1d(int n, double xmin, double xmax, const std::string& name)
{
    HstHistogram* h = hst_histogram_new(n, xmin, xmax, nullptr);
    if (!h)
        throw ConfigException("HstData: cannot create histogram " + name);
    hst_function_set_name(HST_FUNCTION(h), name.c_str());
    return h;
}

HstHistogram2D* new_2d(int nx, double xmin, double xmax, int ny, double ymin, double ymax,
                       const std::string& name)
{
    HstHistogram2D* h = hst_histogram2d_new(nx, xmin, xmax, ny, ymin, ymax, nullptr);
    if (!h)
        throw ConfigException("HstData: cannot create histogram " + name);
    hst_function_set_name(HST_FUNCTION(h), name.c_str());
    return h;
}

bool places_a_channel(const PadMap& map)
{
    for (int c = 0; c < map.ntot(); ++c) {
        int x = 0;
        int y = 0;
        map.pad(c, x, y);
        if (x != PadMap::NO_PAD)
            return true;
    }
    return false;
}

void check_channels(int nchip, int nchan)
{
    const long long ntot = static_cast<long long>(nchip) * nchan;
    if (nchip < 1 || nchan < 1 || ntot > max_bins)
        throw ConfigException("HstData: " + std::to_string(nchip) + " chips of " +
                              std::to_string(nchan) + " channels cannot be monitored");
}

// The 2D signal histogram has nbins × ntot cells.
void check_binning(int nbins, double vmin, double vmax, int ntot)
{
    if (nbins < 1 || nbins > max_bins || static_cast<long long>(nbins) * ntot > INT32_MAX)
        throw ConfigException("HstData: bad number of bins " + std::to_string(nbins));
    if (!std::isfinite(vmin) || !std::isfinite(vmax) || vmin == vmax)
        throw ConfigException("HstData: bad histogram range " + std::to_string(vmin) + " to " +
                              std::to_string(vmax));
}

std::unique_ptr<std::atomic<double>[]> zeros(int n)
{
    std::unique_ptr<std::atomic<double>[]> a(new std::atomic<double>[n]);
    for (int i = 0; i < n; ++i)
        a[i].store(0.0, std::memory_order_relaxed);
    return a;
}

// Writers of the monitoring stream.
void put_int(std::ostream& os, int32_t v)
{
    const uint32_t be = htonl(static_cast<uint32_t>(v));
    os.write(reinterpret_cast<const char*>(&be), sizeof be);
}

void put_double(std::ostream& os, double v)
{
    os.write(reinterpret_cast<const char*>(&v), sizeof v);
}

void put_string(std::ostream& os, const std::string& s)
{
    put_int(os, static_cast<int32_t>(s.size()));
    os.write(s.data(), static_cast<std::streamsize>(s.size()));
}

std::string name_of(HstFunction* f, const char* fallback)
{
    gchar* name = hst_function_get_name(f);
    const std::string out = name ? name : fallback;
    g_free(name);
    return out;
}

void put_1d(std::ostream& os, HstHistogram* h)
{
    if (!h)
        return;
    HstFunction* f = HST_FUNCTION(h);
    put_string(os, "H1D ");
    put_string(os, name_of(f, "Hst1D"));
    hst_function_lock(f);
    put_int(os, f->nbin);
    put_double(os, f->xmin);
    put_double(os, f->xmax);
    for (int i = 0; i < f->nbin; ++i)
        put_double(os, h->y[i]);
    hst_function_unlock(f);
}

void put_2d(std::ostream& os, HstHistogram2D* h)
{
    if (!h)
        return;
    HstFunction* X = HST_FUNCTION(h);
    HstFunction* Y = HST_FUNCTION2D(h)->Y;
    put_string(os, "H2D ");
    put_string(os, name_of(X, "Hst2D"));
    hst_function_lock(X);
    put_int(os, X->nbin);
    put_double(os, X->xmin);
    put_double(os, X->xmax);
    put_int(os, Y->nbin);
    put_double(os, Y->xmin);
    put_double(os, Y->xmax);
    const long long cells = static_cast<long long>(X->nbin) * Y->nbin;
    for (long long i = 0; i < cells; ++i)
        put_double(os, h->y[i]);
    hst_function_unlock(X);
}

} // namespace

HstData::HstData(int nc, int nch, int nb, double xmin, double xmax)
    : nchip(nc), nchan(nch), nbins(0), ntot(0), bwidth(0.0), rmax(xmax), rmin(xmin), map(nullptr),
      out(nullptr), chan(nullptr), ped(nullptr), noise(nullptr), hitmap(nullptr), hsig2(nullptr),
      h2dmap(nullptr), h2dmap_c(nullptr)
{
    check_channels(nc, nch);
    ntot = nc * nch;
    set_bins(nb, xmin, xmax);
}

HstData::HstData(const HstData& other)
    : nchip(0), nchan(0), nbins(0), ntot(0), bwidth(0.0), rmax(0.0), rmin(0.0), map(nullptr),
      out(nullptr), chan(nullptr), ped(nullptr), noise(nullptr), hitmap(nullptr), hsig2(nullptr),
      h2dmap(nullptr), h2dmap_c(nullptr)
{
    assign(other);
}

HstData& HstData::operator=(const HstData& other)
{
    if (this != &other)
        assign(other);
    return *this;
}

HstData::~HstData()
{
    clear();
}

void HstData::assign(const HstData& other)
{
    clear();
    nchip = other.nchip;
    nchan = other.nchan;
    ntot = other.ntot;
    set_bins(other.nbins, other.rmin, other.rmax);
    if (other.map)
        set_map(*other.map);
}

double* HstData::bins(HstHistogram* h)
{
    if (!h)
        return nullptr;
    // Under the histogram's own lock, not through its "ptr" property: every
    // property read or set goes through GLib's one table of properties and
    // its lock, which the GTK main thread takes for each label it sets, and
    // this runs several times an event in a thread of low priority, which
    // the scheduler may leave waiting with that lock held.
    hst_function_lock(HST_FUNCTION(h));
    double* y = h->y;
    hst_function_unlock(HST_FUNCTION(h));
    return y;
}

HstHistogram* HstData::get_hsig(int k) const
{
    if (k < 0 || k >= static_cast<int>(hsig.size()))
        return nullptr;
    return hsig[k];
}

void HstData::set_bins(int nb, double vmin, double vmax)
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    check_binning(nb, vmin, vmax, ntot);
    build(nb, std::min(vmin, vmax), std::max(vmin, vmax), nchip, nchan);
}

void HstData::build(int nb, double lo, double hi, int nc, int nch)
{
    const int nt = nc * nch;
    const bool recount = nc != nchip || nch != nchan || nt != ntot;
    // The default map is one row of the old channel count: it gives way to
    // the default of the new one. A map that places channels stays.
    const bool drop_map = recount && map && !places_a_channel(*map);
    const PadMap* kept_map = drop_map ? nullptr : map;

    // Everything new is made before anything is replaced, so that a failure
    // leaves the set as it was.
    struct Fresh {
        std::vector<HstHistogram*> h1;
        std::vector<HstHistogram2D*> h2;
        ~Fresh()
        {
            for (HstHistogram*& h : h1)
                unref(h);
            for (HstHistogram2D*& h : h2)
                unref(h);
        }
    } fresh;

    std::unique_ptr<PadMap> new_map;
    if (!kept_map)
        new_map.reset(new PadMap(nt, 1, nt));
    const PadMap& shape = kept_map ? *kept_map : *new_map;

    // Per-channel histograms keep their contents while their shape holds.
    struct PerChannel {
        HstHistogram** slot;
        const char* name;
    } per_channel[] = {{&ped, "Pedestals"}, {&noise, "Noise"}, {&hitmap, "HitMap"},
                       {&out, "out"},       {&chan, "chan"}};
    HstHistogram* replacement[5];
    for (int i = 0; i < 5; ++i) {
        HstHistogram* h = *per_channel[i].slot;
        if (h && bin_count(h) == nt) {
            replacement[i] = nullptr;
        } else {
            replacement[i] = new_1d(nt, 0.0, nt, per_channel[i].name);
            fresh.h1.push_back(replacement[i]);
        }
    }
    HstHistogram2D* new_hsig2 = new_2d(nb, lo, hi, nt, 0.0, nt, "hsig2");
    fresh.h2.push_back(new_hsig2);
    HstHistogram2D* new_map2d[2] = {nullptr, nullptr};
    if (!h2dmap || !h2dmap_c || drop_map) {
        new_map2d[0] = new_2d(shape.nx(), 0.0, shape.nx(), shape.ny(), 0.0, shape.ny(), "h2dmap");
        fresh.h2.push_back(new_map2d[0]);
        new_map2d[1] = new_2d(shape.nx(), 0.0, shape.nx(), shape.ny(), 0.0, shape.ny(), "h2dmap_c");
        fresh.h2.push_back(new_map2d[1]);
    }
    std::vector<HstHistogram*> new_hsig;
    for (int k = 0; k <= nc; ++k) {
        const std::string name = k ? "Spectrum.Chip" + std::to_string(k - 1) : "Spectrum";
        new_hsig.push_back(new_1d(nb, lo, hi, name));
        fresh.h1.push_back(new_hsig.back());
    }
    // The per-chip values stay where readers find them while the chip
    // count holds.
    std::unique_ptr<std::atomic<double>[]> new_cmmd;
    std::unique_ptr<std::atomic<double>[]> new_avnoise;
    if (!cmmd || !avnoise || recount) {
        new_cmmd = zeros(nc);
        new_avnoise = zeros(nc);
    }

    // Nothing can fail from here on: hand the new objects over.
    fresh.h1.clear();
    fresh.h2.clear();
    // The counts change with the objects they size: a reader under the fill
    // lock never sees a count the histograms do not have.
    std::lock_guard<Ostrel::Mutex> lock(m_fill);
    ++generation;
    nchip = nc;
    nchan = nch;
    ntot = nt;
    nbins = nb;
    rmin = lo;
    rmax = hi;
    bwidth = nbins / (rmax - rmin);
    if (drop_map) {
        delete map;
        map = nullptr;
    }
    if (new_map)
        map = new_map.release();
    for (int i = 0; i < 5; ++i) {
        if (replacement[i]) {
            unref(*per_channel[i].slot);
            *per_channel[i].slot = replacement[i];
        }
    }
    unref(hsig2);
    hsig2 = new_hsig2;
    if (new_map2d[0]) {
        unref(h2dmap);
        unref(h2dmap_c);
        h2dmap = new_map2d[0];
        h2dmap_c = new_map2d[1];
    }
    for (HstHistogram*& h : hsig)
        unref(h);
    hsig.swap(new_hsig);
    if (new_cmmd) {
        cmmd.swap(new_cmmd);
        avnoise.swap(new_avnoise);
    }
    for (int i = 0; i < nchip; ++i) {
        cmmd[i].store(0.0, std::memory_order_relaxed);
        avnoise[i].store(0.0, std::memory_order_relaxed);
    }
}

void HstData::set_channels(int nc, int nch)
{
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    check_channels(nc, nch);
    check_binning(nbins, rmin, rmax, nc * nch);
    build(nbins, rmin, rmax, nc, nch);
}

void HstData::set_map(const PadMap& m)
{
    if (m.nx() > max_bins || m.ny() > max_bins)
        throw ConfigException("HstData: a pad map of " + std::to_string(m.nx()) + " x " +
                              std::to_string(m.ny()) + " pads cannot be shown");
    PadMap* copy = new PadMap(m);
    std::lock_guard<std::recursive_mutex> shape(m_shape);
    std::lock_guard<Ostrel::Mutex> lock(m_fill);
    ++generation;
    delete map;
    map = copy;
    const int nx = map->nx();
    const int ny = map->ny();
    if (h2dmap && h2dmap_c) {
        for (HstHistogram2D* h : {h2dmap, h2dmap_c}) {
            g_object_set(h, "nx", nx, "ny", ny, "xmax", static_cast<double>(nx), "ymax",
                         static_cast<double>(ny), nullptr);
            g_object_notify(G_OBJECT(h), "range");
        }
        return;
    }
    unref(h2dmap);
    unref(h2dmap_c);
    h2dmap = new_2d(nx, 0.0, nx, ny, 0.0, ny, "h2dmap");
    h2dmap_c = new_2d(nx, 0.0, nx, ny, 0.0, ny, "h2dmap_c");
}

int HstData::set_pedestals(const std::vector<double>& ped_values, const std::vector<double>& noise_values)
{
    std::lock_guard<Ostrel::Mutex> lock(m_fill);
    if (!ped || !noise)
        return 0;
    const int n = static_cast<int>(
        std::min({ped_values.size(), noise_values.size(), static_cast<size_t>(std::max(ntot, 0))}));
    hst_function_lock(HST_FUNCTION(ped));
    hst_function_lock(HST_FUNCTION(noise));
    std::copy_n(ped_values.begin(), n, Ped());
    std::copy_n(noise_values.begin(), n, Noise());
    hst_function_unlock(HST_FUNCTION(noise));
    hst_function_unlock(HST_FUNCTION(ped));
    return n;
}

void HstData::get_pedestals(std::vector<double>& ped_values, std::vector<double>& noise_values) const
{
    std::lock_guard<Ostrel::Mutex> lock(m_fill);
    ped_values.clear();
    noise_values.clear();
    if (!ped || !noise)
        return;
    hst_function_lock(HST_FUNCTION(ped));
    hst_function_lock(HST_FUNCTION(noise));
    ped_values.assign(Ped(), Ped() + ntot);
    noise_values.assign(Noise(), Noise() + ntot);
    hst_function_unlock(HST_FUNCTION(noise));
    hst_function_unlock(HST_FUNCTION(ped));
}

void HstData::Init()
{
    std::lock_guard<Ostrel::Mutex> lock(m_fill);
    for (int i = 0; i < nchip; ++i) {
        SetCmmd(0.0, i);
        SetAvNoise(0.0, i);
    }
    for (HstHistogram* h : {out, chan, ped, noise, hitmap})
        if (h)
            hst_histogram_reset(h);
    for (HstHistogram* h : hsig)
        hst_histogram_reset(h);
    for (HstHistogram2D* h : {hsig2, h2dmap, h2dmap_c})
        if (h)
            hst_histogram2d_reset(h);
}

void HstData::clear()
{
    std::lock_guard<Ostrel::Mutex> lock(m_fill);
    unref(out);
    unref(chan);
    unref(ped);
    unref(noise);
    unref(hitmap);
    for (HstHistogram*& h : hsig)
        unref(h);
    hsig.clear();
    unref(hsig2);
    unref(h2dmap);
    unref(h2dmap_c);
    cmmd.reset();
    avnoise.reset();
    delete map;
    map = nullptr;
}

std::ostream& operator<<(std::ostream& os, const HstData& d)
{
    // The set must not change under the writer.
    std::lock_guard<Ostrel::Mutex> lock(d.get_lock());
    put_int(os, d.Nchip());
    put_int(os, d.Nchan());
    put_int(os, d.Ntot());
    const PadMap* map = d.get_map();
    put_int(os, map ? map->nx() : 0);
    put_int(os, map ? map->ny() : 0);
    for (HstHistogram* h : {d.get_ped(), d.get_noise(), d.get_out(), d.get_chan(), d.get_hitmap()})
        put_1d(os, h);
    for (int k = 0; k <= d.Nchip(); ++k)
        put_1d(os, d.get_hsig(k));
    put_2d(os, d.get_hsig2());
    put_2d(os, d.get_h2dmap());
    return os;
}

std::istream& operator>>(std::istream& is, HstData&)
{
    std::cout << "*** operator>> Not implemented ***" << std::endl;
    return is;
}
