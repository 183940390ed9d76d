#include "fenrow/streams/FenrowStream.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <list>
#include <memory>
#include <sstream>
#include <thread>

#include <pthread.h>

#include "config/PathUtils.h"
#include "daq/ParseOpt.h"
#include "daq/Scan.h"
#include "fenrow/Fenrow.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/Packets.h"
#include "fenrow/net/PendingCommands.h"
#include "fenrow/streams/FenrowAnalysis.h"
#include "ostrel/Exception.h"
#include "ostrel/Log.h"
#include "ostrel/TellumData.h"

namespace Ostrel {

namespace {

// How long getData waits for the event that hasData announced.
const int get_data_wait_ms = 100;
const int chip_type_hdr = TAmanager::hdr;

// A scan value or command value as an int: truncated, and held inside the
// range of int (NaN gives 0).
int to_int(double v)
{
    if (std::isnan(v))
        return 0;
    if (v <= static_cast<double>(INT_MIN))
        return INT_MIN;
    if (v >= static_cast<double>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(v);
}

int to_int(const std::string& text)
{
    const long v = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, v)));
}

// A non-negative decimal number and nothing else; false otherwise.
bool read_channel(const std::string& text, long& out)
{
    const std::string t = trim_str(text);
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::strtol(t.c_str(), nullptr, 10);
    return true;
}

// Higher channels than the largest chip set can hold are never listed, so
// that a mistyped range cannot fill memory.
const long channel_limit = static_cast<long>(TAmanager::max_chips) * TAchip::max_channels;

// The module whose own forcing of a pedestal run is under way on this
// thread: a pedestal run writes no events, so the layout a run file holds
// does not bind it.
thread_local const FenrowStream* forcing_module = nullptr;

struct Forcing {
    explicit Forcing(const FenrowStream* m) : before(forcing_module) { forcing_module = m; }
    ~Forcing() { forcing_module = before; }
    const FenrowStream* before;
};

// The running loaders of every module, so that a board manager that goes
// finds those that send through it. Never destroyed: a module may go at exit.
struct Loader {
    FenrowStream* module;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

struct Loaders {
    std::mutex mutex;
    std::list<Loader> running;
};

Loaders& loaders()
{
    static auto* all = new Loaders;
    return *all;
}

} // namespace

int channel_list(const std::string& text, std::vector<int>& list)
{
    std::vector<std::string> items;
    stringtok(items, text, ",");
    for (const std::string& item : items) {
        const std::string::size_type dash = item.find('-');
        long first = 0;
        long last = 0;
        if (dash == std::string::npos) {
            if (!read_channel(item, first))
                continue;
            last = first;
        } else if (!read_channel(item.substr(0, dash), first) || !read_channel(item.substr(dash + 1), last)) {
            continue;
        }
        if (first > last)
            std::swap(first, last);
        last = std::min(last, channel_limit - 1);
        for (long c = first; c <= last; ++c)
            list.push_back(static_cast<int>(c));
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    return static_cast<int>(list.size());
}

FenrowStream::FenrowStream(const DAQid& id, unsigned long address, int hyb, FenrowModuleData* data)
    : GenModule(id, address), hybrid_id(hyb), module_data(data),
      queue(queue_capacity,
            std::max(queue_bytes, data && data->manager ? data->manager->receive_budget()
                                                        : DAQServer::DEFAULT_RECEIVE_BUDGET))
{
    DataStream* s = get_stream();
    int chip_type = TAmanager::gp7;
    unsigned long fw = 0;
    if (s) {
        nchip = std::max(1, std::min(static_cast<int>(s->nchip()), TAmanager::max_chips));
        nchan = std::max(1, s->nchan() / nchip);
        chip_type = static_cast<int>(s->chip_type());
        fw = s->firmware();
    }

    // Every setting shares the chip set's lock (chips_lock()): the chip set
    // is made first, and added in its place.
    ta = new Par<TAmanager>(TAmanager(TAmanager::gp3, 1));
    std::recursive_mutex& lock = ta->mutex();
    threshold = new_par(&FenrowStream::set_threshold, new Par<int>(50, lock));
    add_par("threshold", threshold);
    mbias = new Par<std::vector<int>>(std::vector<int>(4, 1460), lock);
    add_par("mbias", mbias);
    vfp = new_par(&FenrowStream::set_vfp, new Par<int>(610, lock));
    add_par("vfp", vfp);
    vthrh = new_par(&FenrowStream::set_vthrh, new Par<int>(1500, lock));
    add_par("vthrh", vthrh);
    vfsf = new_par(&FenrowStream::set_vfsf, new Par<int>(125, lock));
    add_par("vfsf", vfsf);
    vfss = new_par(&FenrowStream::set_vfss, new Par<int>(150, lock));
    add_par("vfss", vfss);
    test_pulse = new_par(&FenrowStream::set_testpulse, new Par<int>(50, lock));
    add_par("test_pulse", test_pulse);
    test_point = new_par(&FenrowStream::set_testpoint, new Par<int>(50, lock));
    add_par("test_point", test_point);
    hold_delay = new_par(&FenrowStream::set_hold_delay, new Par<int>(150, lock));
    add_par("hold_delay", hold_delay);
    ro_mode = new_par(&FenrowStream::set_ro_mode, new Par<int>(RO_ADJACENT, lock));
    add_par("ro_mode", ro_mode);
    nadj = new_par(&FenrowStream::set_nadj, new Par<int>(s ? static_cast<int>(s->nadj()) : 0, lock));
    add_par("nadj", nadj);
    new_par(&FenrowStream::set_ta, ta);
    add_par("ta", ta);
    nchip_par = new_par(&FenrowStream::set_nchip, new Par<int>(nchip, lock));
    add_par("nchip", nchip_par);
    hold = new_par(&FenrowStream::set_hold, new Par<bool>(false, lock));
    add_par("hold", hold);
    trg_type = new_par(&FenrowStream::set_trg_type, new Par<int>(1, lock));
    add_par("trg_type", trg_type);
    vout = new_par(&FenrowStream::set_vout, new Par<bool>(false, lock));
    add_par("Vout", vout);
    polarity = new_par(&FenrowStream::set_polarity, new Par<int>(0, lock));
    add_par("polarity", polarity);
    ctw = new_par(&FenrowStream::set_ctw, new Par<int>(20, lock));
    add_par("ctw", ctw);
    coincidence = new Par<bool>(false, lock);
    add_par("coincidence", coincidence);

    // The chip set first, so that the analysis has its channels.
    TAmanager& chip_set = ta->get_value();
    chip_set.SetChipType(static_cast<TAmanager::ChipType>(chip_type));
    chip_set.Resize(nchip);
    if (chip_set.Nchan() > 0)
        nchan = chip_set.Nchan();
    if (s) {
        s->set_nchip(chip_set.Nchip());
        s->set_nchan(chip_set.Nchip() * nchan);
    }

    if (chip_type == chip_type_hdr) {
        ro_mode->set_value(RO_SERIAL, false);
        set_analysis(new HDRanalysis(nchip, nchan, fw));
    } else {
        set_analysis(new FenrowAnalysis(nchip, nchan, fw, FenrowAnalysis::ordinary));
    }
    set_default_pedestals();
    // Linked last: the board manager's thread may hand the firmware on
    // through the stream record from now on.
    if (s)
        s->set_module(this);
}

FenrowStream::~FenrowStream()
{
    // A loader uses the module, and what it points at, until it returns.
    loading_cancelled = true;
    stop_loaders_where([this](const FenrowStream& m) { return &m == this; });
    if (DataStream* s = get_stream()) {
        if (s->get_module() == this)
            s->set_module(nullptr);
    }
    queue.shutdown();
    queue.clear();
    set_analysis(nullptr);
    delete module_data;
}

Fenrow* FenrowStream::manager() const
{
    return module_data ? module_data->manager : nullptr;
}

ModuleNode* FenrowStream::node() const
{
    return module_data ? module_data->node : nullptr;
}

DataStream* FenrowStream::get_stream() const
{
    ModuleNode* n = node();
    return n ? n->stream(static_cast<int>(get_address())) : nullptr;
}

unsigned long FenrowStream::get_firmware() const
{
    const DataStream* s = get_stream();
    return s ? s->firmware() : 0;
}

void FenrowStream::set_analysis_firmware(unsigned long fw)
{
    if (auto* a = dynamic_cast<FenrowAnalysis*>(get_analysis()))
        a->set_firmware(fw);
}

// ---- settings ----------------------------------------------------------------

void FenrowStream::set_threshold(int value)
{
    if (Fenrow* m = manager())
        m->set_threshold(node(), 0, value, hybrid_id);
}

void FenrowStream::send_bias(int selector, int value, int stream)
{
    if (Fenrow* m = manager())
        m->send_config_bias(node(), 0, selector, value, stream);
}

void FenrowStream::set_vfp(int value)
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    const DataStream* s = get_stream();
    // The high-dynamic-range boards take it on stream field 4 as selector 5.
    if (s && static_cast<int>(s->chip_type()) == chip_type_hdr)
        send_bias(5, value, 4);
    else
        send_bias(3, value, hybrid_id);
}

void FenrowStream::set_vthrh(int value)
{
    send_bias(4, value, hybrid_id);
}

void FenrowStream::set_vfsf(int value)
{
    send_bias(5, value, hybrid_id);
}

void FenrowStream::set_vfss(int value)
{
    send_bias(6, value, hybrid_id);
}

void FenrowStream::set_testpulse(int value)
{
    send_bias(7, value, hybrid_id);
}

void FenrowStream::set_testpoint(int value)
{
    send_bias(8, value, hybrid_id);
}

void FenrowStream::set_hold_delay(int value)
{
    if (Fenrow* m = manager())
        m->set_hold_delay(node(), hybrid_id, value);
}

void FenrowStream::set_ctw(int value)
{
    if (Fenrow* m = manager())
        m->set_ctw(node(), hybrid_id, value);
}

void FenrowStream::send_trigger(int type, int mask)
{
    if (Fenrow* m = manager())
        m->set_trg_type(node(), 0, hybrid_id, type, mask);
}

void FenrowStream::set_trg_type(int value)
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    send_trigger(value, coincidence->get_value() && is_global() ? 1 : 0);
}

void FenrowStream::refuse_layout_change(const std::string& format, const char* setting)
{
    if (forcing_module != this)
        refuse_format_change(format, setting);
}

void FenrowStream::send_readout_mode()
{
    // The command is built from the stream record, which another setting's
    // observer writes too.
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    DataStream* s = get_stream();
    if (!s)
        return;
    s->set_readout_mode(ro_mode->get_value(), nadj->get_value());
    if (Fenrow* m = manager())
        m->send_config_readout_mode(static_cast<int>(get_address()), node());
}

void FenrowStream::set_ro_mode(int)
{
    std::lock_guard<std::recursive_mutex> lock(data_format_lock());
    refuse_layout_change(get_data_format(), "the readout mode");
    send_readout_mode();
}

std::string FenrowStream::adjacent_refusal(const std::string& n)
{
    return n + " adjacent channels refused; the readout-mode command carries 0 to " +
           std::to_string(MAX_ADJACENT);
}

void FenrowStream::set_nadj(int value)
{
    std::lock_guard<std::recursive_mutex> lock(data_format_lock());
    if (value < 0 || value > MAX_ADJACENT)
        refuse(adjacent_refusal(std::to_string(value)));
    refuse_layout_change(get_data_format(), "the number of adjacent channels");
    if (DataStream* s = get_stream())
        s->set_nadj(value);
    send_readout_mode();
}

void FenrowStream::set_vout(bool on)
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    if (DataStream* s = get_stream())
        s->set_vout(on);
    send_readout_mode();
}

void FenrowStream::set_polarity(int value)
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    if (DataStream* s = get_stream())
        s->set_polarity(value);
    send_readout_mode();
}

void FenrowStream::set_hold(bool on)
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    if (DataStream* s = get_stream())
        s->set_hold(on);
}

void FenrowStream::set_ta(const TAmanager& value)
{
    // Called under the chip set's lock, with the new chip set in place.
    refuse_layout_change(get_data_format(), "the chip set");
    if (DataStream* s = get_stream()) {
        s->set_nchip(value.Nchip());
        s->set_nchan(value.Ntot());
        s->set_chip_type(value.GetChipType());
    }
    load_register();
}

void FenrowStream::load_register()
{
    Fenrow* m = manager();
    if (!m)
        return;
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    m->send_config_register(node(), hybrid_id, chips());
}

void FenrowStream::set_nchip(int n)
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    DataStream* s = get_stream();
    TAmanager& chip_set = chips();
    // The analysis needs a chip, and a stream holds no more than the chip
    // set can.
    if (n < 1 || n > TAmanager::max_chips)
        refuse(std::to_string(n) + " chips refused; a stream holds 1 to " + std::to_string(TAmanager::max_chips));
    if (chip_set.Nchip() != n) {
        refuse_layout_change(data_format_for(ro_mode->get_value(), nadj->get_value(),
                                             static_cast<long long>(chip_set.Nchan()) * n),
                             "the chip count");
        if (!chip_set.Resize(n))
            refuse(std::to_string(n) + " chips refused: the chip set cannot take them");
    }
    if (s) {
        s->set_nchip(n);
        s->set_nchan(chip_set.Ntot());
    }
    if (Analysis* a = get_analysis()) {
        if (a->Nchip() != n) {
            a->Resize(n, a->Nchan());
            fit_pedestal_lists();
        }
    }
    nchip = n;
    Fenrow* m = manager();
    if (m && s)
        m->send_config_hybrid(0, static_cast<int>(s->id()), node());
}

void FenrowStream::set_mbias(int i, int v)
{
    // Stored and sent in one go, so that the board ends with the value kept.
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    std::vector<int>& values = mbias->get_value();
    if (i < 0 || static_cast<std::size_t>(i) >= values.size()) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Module " << get_id() << ": there is no main bias " << i << std::endl;
        return;
    }
    values[static_cast<std::size_t>(i)] = v;
    if (Fenrow* m = manager())
        m->send_config_mbias(node(), 0, i + 1, v, hybrid_id);
}

template <class T>
void FenrowStream::resend(Par<T>* p)
{
    // Read and set under one lock: a value set meanwhile on another thread
    // is not put back to the one read.
    std::lock_guard<std::recursive_mutex> lock(p->mutex());
    p->set_value(p->get_value(), true);
}

template <class T>
void FenrowStream::resend_unless_refused(Par<T>* p)
{
    try {
        resend(p);
    } catch (const ParameterRefused&) {
    }
}

bool FenrowStream::start_loader(std::function<void()> work)
{
    Loaders& all = loaders();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (auto it = all.running.begin(); it != all.running.end();) {
        if (!it->done->load()) {
            ++it;
            continue;
        }
        it->thread.join();
        it = all.running.erase(it);
    }
    if (loading_cancelled)
        return false;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread thread([work = std::move(work), done] {
        pthread_setname_np(pthread_self(), "fenrow-loader");
        work();
        *done = true;
    });
    all.running.push_back(Loader{this, std::move(thread), std::move(done)});
    return true;
}

void FenrowStream::stop_loaders(const Fenrow* manager)
{
    stop_loaders_where([manager](const FenrowStream& m) { return m.manager() == manager; });
}

void FenrowStream::stop_loaders_where(const std::function<bool(const FenrowStream&)>& which)
{
    // Joined under the lock: a module whose loader is being joined here
    // cannot go meanwhile, since its destructor waits for the lock first.
    // The waits end within 0.1 s of the cancel.
    Loaders& all = loaders();
    std::lock_guard<std::mutex> lock(all.mutex);
    for (auto it = all.running.begin(); it != all.running.end();) {
        if (!which(*it->module)) {
            ++it;
            continue;
        }
        it->module->loading_cancelled = true;
        it->thread.join();
        it = all.running.erase(it);
    }
}

bool FenrowStream::load_config_values(bool wait_between)
{
    auto wait = [this, wait_between] {
        Fenrow* m = manager();
        if (m && wait_between)
            m->wait_for_command_completion(-1, &loading_cancelled);
        return !loading_cancelled;
    };
    // Each step reads and sends under the settings lock, and waits for the
    // board without it.
    std::unique_lock<std::recursive_mutex> lock(chips_lock());
    DataStream* s = get_stream();
    // "hold" only reaches the stream record, whose readout-mode command
    // carries it: a value read from the configuration would never get there.
    if (s)
        s->set_hold(hold->get_value());
    resend(vout);
    lock.unlock();
    if (!wait())
        return false;
    lock.lock();
    if (s && static_cast<int>(s->chip_type()) == chip_type_hdr) {
        const TAchip* c = chips().chip(0);
        polarity->set_value(c && c->Polarity() ? 1 : 0, true);
    }
    // Settings changed without notice to a layout that an open run file
    // refuses stay off the board (the refusal is in the log); the others
    // still go.
    resend_unless_refused(ro_mode);
    if (ro_mode->get_value() != RO_SCOPE)
        resend_unless_refused(nadj);
    lock.unlock();
    if (!wait())
        return false;
    load_register();
    if (!wait())
        return false;
    lock.lock();
    try {
        nchip_par->set_value(chips().Nchip(), true);
    } catch (const ParameterRefused&) {
    }
    const std::vector<int> biases = mbias->get_value();
    for (int i = 0; i < 4 && static_cast<std::size_t>(i) < biases.size(); ++i)
        set_mbias(i, biases[static_cast<std::size_t>(i)]);
    for (Par<int>* p : {hold_delay, threshold, vthrh, vfp, vfsf, vfss, test_pulse, test_point, trg_type, ctw})
        resend(p);
    lock.unlock();
    return wait();
}

void FenrowStream::fit_pedestal_lists()
{
    Analysis* a = get_analysis();
    if (!a)
        return;
    const std::size_t n = static_cast<std::size_t>(a->Ntot());
    std::vector<double> ped = get_par_value<std::vector<double>>("pedestal");
    std::vector<double> noise = get_par_value<std::vector<double>>("noise");
    if (ped.size() == n && noise.size() == n)
        return;
    ped.resize(n, default_pedestal);
    noise.resize(n, default_noise);
    set_par("pedestal", ped, false);
    set_par("noise", noise, false);
    copy_pedestals();
}

void FenrowStream::fit_analysis()
{
    Analysis* a = get_analysis();
    if (!a)
        return;
    // The stream record and the analysis follow the chip set together.
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    const int n = chips().Nchip();
    int per = chips().Nchan();
    if (n < 1)
        return;
    // The high-dynamic-range analysis keeps its 64 channels per chip.
    if (per < 1 || dynamic_cast<HDRanalysis*>(a))
        per = a->Nchan();
    a->Resize(n, per);
    nchip = n;
    nchan = per;
    if (DataStream* s = get_stream()) {
        s->set_nchip(n);
        s->set_nchan(n * per);
    }
    fit_pedestal_lists();
}

void FenrowStream::set_default_pedestals()
{
    Analysis* a = get_analysis();
    const std::size_t n = a ? static_cast<std::size_t>(a->Ntot()) : 0;
    set_par("pedestal", std::vector<double>(n, default_pedestal), false);
    set_par("noise", std::vector<double>(n, default_noise), false);
    copy_pedestals();
}

void FenrowStream::print_pedestals()
{
    std::ostringstream os;
    os << "Pedestals[" << get_id() << "]" << std::endl;
    for (double v : get_par_value<std::vector<double>>("pedestal"))
        os << v << " ";
    os << std::endl;
    std::cout << os.str() << std::flush;
}

// ---- run control ---------------------------------------------------------------

void FenrowStream::log_run_step(const char* what)
{
    Ostrel::ostream log(Ostrel::LOG_INFO);
    log << what << get_id() << "]" << std::endl;
}

int FenrowStream::PrepareForRun()
{
    log_run_step("\t+-> Module.PrepareForRun [");
    // A datagram taken just as the last run stopped may have come after the
    // run loop's last look at the queue: it belongs to no run, and above all
    // not to this one.
    queue.clear();
    {
        std::lock_guard<std::recursive_mutex> lock(chips_lock());
        set_trg_type(trg_type->get_value());
        set_ctw(ctw->get_value());
    }
    if (get_run_type() != RunType::Pedestal)
        return 0;
    {
        Ostrel::ostream log(Ostrel::LOG_INFO);
        log << "Forcing parameters for a Pedestal run" << std::endl;
    }
    if (Analysis* a = get_analysis()) {
        const std::size_t n = static_cast<std::size_t>(a->Ntot());
        set_par("pedestal", std::vector<double>(n, default_pedestal), false);
        set_par("noise", std::vector<double>(n, 1.0), false);
        copy_pedestals();
    }
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    if (!forced.exchange(true)) {
        saved_trg_type = trg_type->get_value();
        saved_ro_mode = ro_mode->get_value();
    }
    Forcing own(this);
    trg_type->set_value(3, true);
    ro_mode->set_value(RO_SERIAL, true);
    return 0;
}

int FenrowStream::Start(int)
{
    log_run_step("\t+-> Module.Start         [");
    reset_evt_counter();
    dropped_at_start = queue.n_dropped();
    Fenrow* m = manager();
    ModuleNode* board = node();
    int sent = -1;
    {
        std::lock_guard<std::mutex> lock(run_mutex);
        in_run = true;
        paused = false;
        run_serial.fetch_add(1, std::memory_order_release);
        if (m) {
            m->stream_started();
            sent = m->start_daq(hybrid_id, board);
        }
    }
    // A board that is silent gets its start when it answers again.
    if (m && board && (sent != 0 || board->silent())) {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "Module " << get_id() << ": board " << board->ip() << " does not answer: stream " << hybrid_id
            << (sent != 0 ? " is not started" : " may not have its start")
            << "; it gets its settings and its start when the board answers again" << std::endl;
    }
    if (Analysis* a = get_analysis())
        a->init_run();
    return 0;
}

int FenrowStream::Stop(int)
{
    log_run_step("\t+-> Module.Stop          [");
    Fenrow* m = manager();
    ModuleNode* board = node();
    // What the board sends until it has taken its stop belongs to the run:
    // its events before the acknowledgement are on the queue once it is
    // here, for the run's end to take. A board that does not answer holds
    // the end up for a while only.
    auto watch = std::make_shared<CommandWatch>();
    int sent = -1;
    {
        std::lock_guard<std::mutex> lock(run_mutex);
        in_run = false;
        paused = false;
        if (m)
            sent = m->send_daq_command(hybrid_id, false, board, watch);
    }
    if (m && board && sent == 0) {
        const double bound = m->timing().stop_answer;
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(bound);
        CommandFate fate = CommandFate::waiting;
        // Nothing takes the acknowledgement once the manager's thread ends.
        while ((fate = m->pending().wait_for(*watch, 100)) == CommandFate::waiting && m->is_running()
               && std::chrono::steady_clock::now() < until) {
        }
        if (fate != CommandFate::acknowledged) {
            Ostrel::ostream log(Ostrel::LOG_WARNING);
            log << "Module " << get_id() << ": board " << board->ip() << " has not acknowledged the stop of stream "
                << hybrid_id;
            if (fate == CommandFate::waiting)
                log << " within " << bound << " s";
            log << ": what it sends after is not in this run" << std::endl;
        }
    }
    if (Analysis* a = get_analysis())
        a->end_run();
    {
        std::lock_guard<std::recursive_mutex> lock(chips_lock());
        if (forced.exchange(false)) {
            {
                Ostrel::ostream log(Ostrel::LOG_INFO);
                log << "Restoring trigger type and RO mode to original value" << std::endl;
            }
            Forcing own(this);
            trg_type->set_value(saved_trg_type, true);
            ro_mode->set_value(saved_ro_mode, true);
        }
        send_trigger(trg_type->get_value(), 0);
    }
    const unsigned long lost = queue.n_dropped() - dropped_at_start;
    dropped_at_start = queue.n_dropped();
    if (lost) {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "Module " << get_id() << ": " << lost << " events dropped in this run: the event queue of "
            << queue.capacity() << " events or " << queue.max_bytes() / 1048576 << " MB was full" << std::endl;
        get_status().add_lost(lost);
    }
    if (m)
        m->stream_stopped(this, lost);
    return 0;
}

int FenrowStream::Pause()
{
    log_run_step("\t+-> Module.Pause         [");
    std::lock_guard<std::mutex> lock(run_mutex);
    paused = true;
    if (Fenrow* m = manager())
        m->stop_daq(hybrid_id, node());
    return 0;
}

int FenrowStream::Continue()
{
    log_run_step("\t+-> Module.Continue      [");
    std::lock_guard<std::mutex> lock(run_mutex);
    paused = false;
    if (Fenrow* m = manager())
        m->start_daq(hybrid_id, node());
    return 0;
}

bool FenrowStream::board_back(bool restart)
{
    bool running;
    {
        std::lock_guard<std::mutex> lock(run_mutex);
        running = in_run;
    }
    if (!running) {
        // A board that started anew between runs has lost its settings: the
        // next run, which may start without a GetReady, needs them.
        if (restart)
            start_loader([this] { load_config_values(); });
        return false;
    }
    resumed.store(restart ? 2 : 1);
    if (restart) {
        start_loader([this] {
            if (!load_config_values())
                return;
            std::lock_guard<std::mutex> lock(run_mutex);
            if (in_run && !paused)
                if (Fenrow* m = manager())
                    m->start_daq(hybrid_id, node());
        });
    }
    return true;
}

void FenrowStream::note_counter(std::uint16_t counter)
{
    const unsigned serial = run_serial.load(std::memory_order_acquire);
    if (serial != counted_serial) {
        counted_serial = serial;
        have_counter = false;
    }
    if (have_counter && resumed.load(std::memory_order_relaxed)) {
        // Said once, with the first event after the silence.
        const bool went_on = resumed.exchange(0) == 1;
        ModuleNode* board = node();
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "Module " << get_id() << ": board " << (board ? board->ip() : std::string("?"))
            << " goes on in the run: its event counter went from " << last_counter << " to " << counter << ", "
            << static_cast<std::uint16_t>(counter - last_counter - 1u) << " events missed"
            << (went_on ? "" : " (it was started again: it may count anew)") << std::endl;
    } else if (!have_counter) {
        resumed.store(0, std::memory_order_relaxed);
    }
    have_counter = true;
    last_counter = counter;
}

int FenrowStream::GetReady()
{
    log_run_step("\t+-> Module.GetReady      [");
    load_config_values();
    return 0;
}

int FenrowStream::Reset()
{
    return 0;
}

int FenrowStream::Trigger()
{
    return 0;
}

int FenrowStream::flush()
{
    return 0;
}

// ---- events ----------------------------------------------------------------------

bool FenrowStream::push_data(ModuleData* data)
{
    if (!data)
        return false;
    return push_data(&data, 1) == 1;
}

std::size_t FenrowStream::push_data(ModuleData* const* data, std::size_t n)
{
    const std::size_t queued = queue.push_events(data, n);
    for (std::size_t i = 0; i < n; ++i)
        data[i]->dec_ref();
    return queued;
}

bool FenrowStream::hasData()
{
    return queue.condition();
}

ModuleData* FenrowStream::getData()
{
    ModuleData* data = nullptr;
    try {
        data = queue.get_event(get_data_wait_ms);
    } catch (const Ostrel::Exception&) {
        return nullptr;
    }
    increase_evt_counter();
    if (TellumData* record = TellumData::from(data))
        record->event_counter = static_cast<std::uint32_t>(get_evt_counter());
    return data;
}

std::string FenrowStream::get_data_format()
{
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    return data_format_for(ro_mode->get_value(), nadj->get_value(),
                           static_cast<long long>(chips().Nchan()) * chips().Nchip());
}

std::string FenrowStream::data_format_for(int mode, int adjacent, long long serial_words)
{
    const std::string head = "fenrow {temp/d,daq_time/d,time/I,evtcnt/H,nchan/H,romode/H,";
    switch (mode) {
    case RO_SERIAL:
        return head + "data/" + std::to_string(serial_words) + "H}";
    case RO_SPARSE:
        return head + "chan/H,data/H}";
    case RO_ADJACENT:
        return head + "chan/H,data/" + std::to_string(2 * static_cast<long long>(adjacent) + 1) + "H}";
    default:
        return std::string();
    }
}

std::string FenrowStream::layout_refusal(int mode, int adjacent, const TAmanager& chip_set)
{
    std::lock_guard<std::recursive_mutex> lock(data_format_lock());
    return format_refusal(
        data_format_for(mode, adjacent, static_cast<long long>(chip_set.Nchan()) * chip_set.Nchip()),
        "the readout mode, the adjacent channels and the chip set");
}

std::size_t FenrowStream::data_row_size()
{
    long words = 0;
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    switch (ro_mode->get_value()) {
    case RO_SERIAL:
        words = static_cast<long>(chips().Nchan()) * chips().Nchip();
        break;
    case RO_SPARSE:
        words = 2;
        break;
    case RO_ADJACENT:
        words = 2 + 2 * static_cast<long>(nadj->get_value());
        break;
    default:
        return 0;
    }
    return words < 0 ? 0 : static_cast<std::size_t>(FENROW_PAYLOAD_HEAD + 2 * words);
}

namespace {

// The bytes of a record's payload, as far as the record says and the block
// holds: a record's size counts its header, and nothing is read past the
// block given.
std::size_t payload_bytes(const char* block, int size)
{
    if (!block || size < static_cast<int>(sizeof(TellumData)))
        return 0;
    std::uint32_t claimed = 0;
    std::memcpy(&claimed, block + offsetof(TellumData, size), sizeof claimed);
    const std::size_t given = static_cast<std::size_t>(size) - sizeof(TellumData);
    return std::min(given, claimed > sizeof(TellumData) ? claimed - sizeof(TellumData) : std::size_t{0});
}

} // namespace

const char* FenrowStream::rows_in_place(const char* block, int size, int& nrows, std::size_t& bytes)
{
    nrows = 0;
    bytes = 0;
    if (!block || size < static_cast<int>(sizeof(TellumData)))
        return nullptr;
    nrows = 1;
    bytes = payload_bytes(block, size);
    return block + sizeof(TellumData);
}

int FenrowStream::interpret_data_format(const char* block, int size, char** rows)
{
    if (!rows)
        return 0;
    *rows = nullptr;
    if (!block || size < static_cast<int>(sizeof(TellumData)))
        return 0;
    const std::size_t payload = payload_bytes(block, size);
    const std::size_t row = std::max(payload, data_row_size());
    // Zeros only where the record holds nothing: this runs for every event.
    char* out = new char[std::max<std::size_t>(row, 1)];
    std::memcpy(out, block + sizeof(TellumData), payload);
    std::memset(out + payload, 0, std::max<std::size_t>(row, 1) - payload);
    *rows = out;
    return 1;
}

unsigned int* FenrowStream::write_config(int& size)
{
    // One state of the settings, whatever a client sets meanwhile.
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    const std::vector<int>& biases = mbias->get_value();
    const unsigned long fw = get_firmware();
    size = 9 + static_cast<int>(biases.size());
    unsigned int* words = new unsigned int[static_cast<std::size_t>(size)];
    words[0] = static_cast<unsigned int>(fw & 0xFFFF);
    words[1] = static_cast<unsigned int>((fw >> 16) & 0xFFFF);
    words[2] = static_cast<unsigned int>(threshold->get_value());
    words[3] = static_cast<unsigned int>(ro_mode->get_value());
    words[4] = static_cast<unsigned int>(nadj->get_value());
    words[5] = static_cast<unsigned int>(hold_delay->get_value());
    words[6] = static_cast<unsigned int>(ctw->get_value());
    words[7] = static_cast<unsigned int>(trg_type->get_value());
    words[8] = static_cast<unsigned int>(biases.size());
    for (std::size_t i = 0; i < biases.size(); ++i)
        words[9 + i] = static_cast<unsigned int>(biases[i]);
    return words;
}

// ---- chips: scans and commands -------------------------------------------------

void FenrowStream::set_scan_point(ScanPoint& point)
{
    if (get_run_type() != RunType::Scan)
        return;
    auto find = [&point](ScanType type, int& value) {
        auto it = point.find_type(type);
        if (it == point.end())
            return false;
        value = to_int(it->value());
        return true;
    };
    int v = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(chips_lock());
        TAmanager& chip_set = chips();
        Analysis* a = get_analysis();
        if (find(ScanVar::channel, v) && v >= 0 && a && v < a->Ntot()) {
            selected_channel = v;
            chip_set.select_channel(v);
        }
        if (find(ScanVar::threshold, v))
            set_threshold(v);
        if (find(ScanVar::thrs_trim, v)) {
            for (int i = 0; TAchip* c = chip_set.chip(i); ++i)
                c->thrs_dac(v);
        }
        if (find(ScanVar::trim, v))
            chip_set.trim_channel(selected_channel, v);
        if (find(ScanVar::pulse, v)) {
            for (int i = 0; TAchip* c = chip_set.chip(i); ++i)
                c->calib_ctrl(false)->calib_gen(false);
        }
        if (find(ScanVar::cal_dac, v)) {
            for (int i = 0; TAchip* c = chip_set.chip(i); ++i)
                c->calib_ctrl(true)->calib_gen(true)->calib_dac(v);
        }
    }
    load_register();
}

void FenrowStream::parse_command(const std::string& text)
{
    const ParseOpt options(text);
    const std::string& command = options();
    enum { mask, trim, preamp } what;
    std::lock_guard<std::recursive_mutex> lock(chips_lock());
    if (command == "setMask") {
        what = mask;
    } else if (command == "setTrim") {
        what = trim;
    } else if (command == "preampDAC") {
        const DataStream* s = get_stream();
        if (!s || static_cast<int>(s->chip_type()) != chip_type_hdr)
            return;
        what = preamp;
    } else {
        return;
    }
    TAmanager& chip_set = chips();
    const int per = chip_set.Nchan();
    const int total = chip_set.Ntot();
    if (per < 1)
        return;
    for (const auto& option : options.get_options()) {
        std::vector<int> channels;
        channel_list(option.first, channels);
        const int value = to_int(option.second);
        for (int c : channels) {
            if (c < 0 || c >= total)
                continue;
            TAchip* chip = chip_set.chip(c / per);
            if (!chip)
                continue;
            const int ch = c % per;
            switch (what) {
            case mask:
                chip->mask(ch, value != 0);
                break;
            case trim:
                chip->trim(ch, value);
                break;
            case preamp:
                chip->preampDAC(ch, value);
                break;
            }
        }
    }
}

} // namespace Ostrel
