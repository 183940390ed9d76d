// A module that makes events without hardware: event records with a known
// payload, either one for every Trigger or, on a producer thread of its own,
// at a settable rate while a run goes on. Its analysis decodes the payload,
// so that runs can be followed into pedestals, hits and spectra.
//
// Payload after the 16-byte record header (host byte order):
//
//     u32 sequence   the module's event number in the run, from 0
//     u32 nchan      channel values that follow (chips x channels)
//     f64 pulse      signal-to-noise of the one hit the event carries (0: none)
//     f64 adc[nchan] channel i reads pedestal_of(i) = base + i
//
// The data format describes the same bytes as one row, so the HDF5 logger
// stores the payload as it is.
//
// Header-only: the test plug-ins build it as well as the tests.
#ifndef BRISKO_TESTS_COMMON_SYNTHETIC_MODULE_H
#define BRISKO_TESTS_COMMON_SYNTHETIC_MODULE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "daq/GenModule.h"
#include "daq/Scan.h"
#include "data/Analysis.h"
#include "ostrel/DataQueue.h"
#include "ostrel/Exception.h"
#include "ostrel/TellumData.h"

struct SyntheticPayload {
    uint32_t sequence;
    uint32_t nchan;
    double pulse;
};
static_assert(sizeof(SyntheticPayload) == 16, "the payload head is 16 bytes");

class SyntheticModule : public GenModule {
public:
    enum Mode {
        OnTrigger,   // one event for every Trigger
        Timed        // events at the rate, on the producer thread, from Start to Stop
    };

    // Decodes the channel values into the raw signal, tracks pedestals with
    // the fast method and turns the event's pulse into one hit of exactly
    // that signal-to-noise, on channel sequence mod channels.
    class PayloadAnalysis : public Analysis {
    public:
        PayloadAnalysis(int nchip, int nchan) : Analysis(nchip, nchan, 100, 0.0, 100.0) {}

        bool data_valid(TellumData* record) const override
        {
            return record->size >= sizeof(TellumData) + sizeof(SyntheticPayload) +
                                       sizeof(double) * static_cast<size_t>(Ntot());
        }

        void decode(TellumData* record) override
        {
            SyntheticPayload head;
            std::memcpy(&head, record->data, sizeof head);
            const int n = Ntot();
            {
                HstHistogram* out = get_out();
                hst_function_lock(HST_FUNCTION(out));
                std::memcpy(Event(), record->data + sizeof head, sizeof(double) * n);
                hst_function_unlock(HST_FUNCTION(out));
            }
            std::vector<int> channels(n);
            std::iota(channels.begin(), channels.end(), 0);
            update_pedestals_fast(channels, false);
            if (head.pulse > 0 && n > 0) {
                const int hit = static_cast<int>(head.sequence % static_cast<uint32_t>(n));
                hst_histogram_set_bin_content(get_noise(), hit, 1.0);
                hst_histogram_set_bin_content(get_chan(), hit, head.pulse);
                add_hit(hit);
            }
            ++decoded;
        }

        std::atomic<unsigned long> decoded{0};
    };

    explicit SyntheticModule(const Ostrel::DAQid& id, Mode mode = OnTrigger, double rate = 1000.0,
                             int nchip = 1, int nchan = 8)
        : GenModule(id, 0), mode(mode), queue(1u << 16), rate(rate)
    {
        set_analysis(new PayloadAnalysis(nchip, nchan));
    }

    ~SyntheticModule() override
    {
        stop_producer();
        queue.clear();
        delete get_analysis();
    }

    PayloadAnalysis* analysis() const { return static_cast<PayloadAnalysis*>(get_analysis()); }
    int channels() const { return get_analysis()->Ntot(); }

    // Settings; the producer reads them as it goes.
    void set_rate(double per_second) { rate = per_second; }
    // Events per run in Timed mode; 0 (the default) for no limit.
    void set_limit(unsigned long n) { limit = n; }
    void set_base(double value) { base = value; }
    double pedestal_of(int channel) const { return base.load() + channel; }
    // The pulse of every event from now on, or a pulse by sequence number.
    void set_pulse(double signal_to_noise)
    {
        set_pulse_pattern([signal_to_noise](uint32_t) { return signal_to_noise; });
    }
    void set_pulse_pattern(const std::function<double(uint32_t)>& pattern)
    {
        std::lock_guard<std::mutex> lock(settings_mutex);
        pulse_of = pattern;
    }
    void set_data_type(int type) { data_type = type; }

    // What the run did to the module.
    std::atomic<int> n_prepare{0}, n_start{0}, n_stop{0}, n_pause{0}, n_continue{0}, n_reset{0},
        n_ready{0}, n_flush{0};
    std::atomic<unsigned long> n_trigger{0};
    std::atomic<unsigned long> produced{0};   // events made in the current run
    std::atomic<int> last_run_number{-1};
    // The points set_scan_point received, and when (seconds on a steady clock).
    std::vector<ScanPoint> scan_points()
    {
        std::lock_guard<std::mutex> lock(settings_mutex);
        return points;
    }
    std::vector<double> scan_point_times()
    {
        std::lock_guard<std::mutex> lock(settings_mutex);
        return point_times;
    }

    // ---- framework hooks ----
    int PrepareForRun() override
    {
        ++n_prepare;
        return 0;
    }
    int Start(int run_number) override
    {
        ++n_start;
        last_run_number = run_number;
        produced = 0;
        reset_evt_counter();
        if (mode == Timed)
            start_producer();
        return 0;
    }
    int Stop(int) override
    {
        ++n_stop;
        stop_producer();
        return 0;
    }
    int Pause() override
    {
        ++n_pause;
        paused = true;
        return 0;
    }
    int Continue() override
    {
        ++n_continue;
        paused = false;
        return 0;
    }
    int Reset() override
    {
        ++n_reset;
        stop_producer();
        return 0;
    }
    int GetReady() override
    {
        ++n_ready;
        return 0;
    }
    int Trigger() override
    {
        ++n_trigger;
        if (mode == OnTrigger)
            make_event();
        return 0;
    }
    int flush() override
    {
        ++n_flush;
        return 0;
    }
    bool hasData() override { return queue.condition(); }
    Ostrel::ModuleData* getData() override
    {
        try {
            return queue.get_event(0);
        } catch (const Ostrel::Exception&) {
            return nullptr;
        }
    }

    int get_data_type() override { return data_type; }
    std::string get_data_format() override
    {
        return "synthetic {seq/I,nchan/I,pulse/d,adc/" + std::to_string(channels()) + "d}";
    }
    int interpret_data_format(const char* block, int size, char** rows) override
    {
        const size_t row = sizeof(SyntheticPayload) + sizeof(double) * channels();
        if (!rows)
            return 0;
        *rows = nullptr;
        if (!block || size < 0 || static_cast<size_t>(size) < sizeof(TellumData) + row)
            return 0;
        *rows = new char[row];
        std::memcpy(*rows, block + sizeof(TellumData), row);
        return 1;
    }
    void set_scan_point(ScanPoint& point) override
    {
        const double now = std::chrono::duration<double>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
        std::lock_guard<std::mutex> lock(settings_mutex);
        points.push_back(point);
        point_times.push_back(now);
    }

    // One event now, as the producer makes them.
    void make_event()
    {
        const int n = channels();
        const uint32_t seq = static_cast<uint32_t>(produced++);
        SyntheticPayload head{seq, static_cast<uint32_t>(n), 0.0};
        {
            std::lock_guard<std::mutex> lock(settings_mutex);
            if (pulse_of)
                head.pulse = pulse_of(seq);
        }
        const int bytes = static_cast<int>(sizeof head + sizeof(double) * n);
        Ostrel::ModuleData* block = TellumData::create_packet(
            TellumData::EVENT_RECORD, static_cast<uint16_t>(get_id().to_int()), bytes);
        TellumData* record = TellumData::from(block);
        std::memcpy(record->data, &head, sizeof head);
        for (int i = 0; i < n; ++i) {
            const double v = pedestal_of(i);
            std::memcpy(record->data + sizeof head + sizeof(double) * i, &v, sizeof v);
        }
        increase_evt_counter();
        queue.push_event(block);
        block->dec_ref();
    }

    Ostrel::DataQueue& data_queue() { return queue; }

private:
    void start_producer()
    {
        stop_producer();
        {
            std::lock_guard<std::mutex> lock(producer_mutex);
            producer_stop = false;
        }
        producer = std::thread(&SyntheticModule::produce, this);
    }

    void stop_producer()
    {
        {
            std::lock_guard<std::mutex> lock(producer_mutex);
            producer_stop = true;
        }
        producer_cond.notify_all();
        if (producer.joinable())
            producer.join();
    }

    // Keeps to the schedule of the rate, so that the count of events over a
    // time is known whatever the delays of single events.
    void produce()
    {
        using clock = std::chrono::steady_clock;
        auto next = clock::now();
        std::unique_lock<std::mutex> lock(producer_mutex);
        while (!producer_stop) {
            const double per_second = rate.load();
            const unsigned long most = limit.load();
            if (per_second <= 0 || (most > 0 && produced.load() >= most)) {
                producer_cond.wait(lock, [this] { return producer_stop; });
                break;
            }
            if (!paused) {
                lock.unlock();
                make_event();
                lock.lock();
            }
            next += std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(1.0 / per_second));
            producer_cond.wait_until(lock, next, [this] { return producer_stop; });
        }
    }

    const Mode mode;
    Ostrel::DataQueue queue;
    std::atomic<double> rate;
    std::atomic<unsigned long> limit{0};
    std::atomic<double> base{100.0};
    std::atomic<int> data_type{0x3000};
    std::atomic<bool> paused{false};

    std::mutex settings_mutex;
    std::function<double(uint32_t)> pulse_of;
    std::vector<ScanPoint> points;
    std::vector<double> point_times;

    std::mutex producer_mutex;
    std::condition_variable producer_cond;
    bool producer_stop = true;
    std::thread producer;
};

#endif
