// The acquisition module of one readout stream (one hybrid) of a board: the
// stream's analog and readout settings as parameters that reach the board
// when they change, run control of the stream's data taking, and the queue
// that carries the stream's event records from the board manager's server
// thread to the run loop.
#ifndef BRISKO_FENROW_STREAMS_FENROWSTREAM_H
#define BRISKO_FENROW_STREAMS_FENROWSTREAM_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "daq/GenModule.h"
#include "fenrow/chips/TAmanager.h"
#include "ostrel/DataQueue.h"
#include "ostrel/Parameter.h"

class DataStream;
class ModuleNode;
class ScanPoint;

namespace Ostrel {

class Fenrow;

// Whom a stream module talks to: the board manager that sends its commands
// and the board that carries the stream. Neither is owned.
class FenrowModuleData {
public:
    FenrowModuleData(Fenrow* manager, ModuleNode* node) : manager(manager), node(node) {}

    Fenrow* manager;
    ModuleNode* node;
};

class FenrowStream : public GenModule, public ParameterCollection<FenrowStream> {
public:
    // Events the queue holds at most, and their bytes: the board manager's
    // receive budget, and no less than queue_bytes. Later ones are dropped
    // and counted until the run loop has taken some. About two seconds of
    // the fastest boards' events, so that a run thread (or a disk) held up
    // for a second loses none.
    static constexpr std::size_t queue_capacity = 1 << 20;
    static constexpr std::size_t queue_bytes = 104857600;
    // Default pedestal and noise of every channel.
    static constexpr double default_pedestal = 2048.0;
    static constexpr double default_noise = 2.5;

    // address: index of the stream in the node's stream list; hybrid_id: the
    // stream's number on the board (its id plus 1). Takes `data` over.
    FenrowStream(const DAQid& id, unsigned long address, int hybrid_id, FenrowModuleData* data);
    ~FenrowStream() override;

    // Framework module --------------------------------------------------------
    int PrepareForRun() override;
    int Start(int run_number) override;
    int Stop(int run_number) override;
    int Pause() override;
    int Continue() override;
    int Reset() override;
    int GetReady() override;
    int Trigger() override;
    int flush() override;
    bool hasData() override;
    // The next event record, stamped with the module's event counter; null
    // when none comes within a short time or the queue is shut down.
    ModuleData* getData() override;
    // "fenrow {...}" for the present readout mode; empty for a mode the
    // boards do not send.
    std::string get_data_format() override;
    // The same for a readout mode, adjacent channels and words of a serial
    // row.
    static std::string data_format_for(int mode, int adjacent, long long serial_words);
    // While a run file holds the stream's rows, the readout mode, adjacent
    // channels and chip set that would change their layout are refused:
    // by the parameters' observers (ParameterRefused), and here for a
    // caller that asks first. "" when the file takes them, else why not.
    std::string layout_refusal(int mode, int adjacent, const TAmanager& chip_set);
    // The settings lock: the data format follows the readout mode, the
    // adjacent channels and the chip set.
    std::recursive_mutex& data_format_lock() override { return chips_lock(); }
    // One row: the record's payload, padded with zeros to the row of the
    // present data format. 1, or 0 (rows null) for a block too short for a
    // record header.
    int interpret_data_format(const char* block, int size, char** rows) override;
    // The record's payload is its one row.
    const char* rows_in_place(const char* block, int size, int& nrows, std::size_t& bytes) override;

    // Module base -------------------------------------------------------------
    void set_scan_point(ScanPoint& point) override;
    int get_data_type() override { return 0xe000; }
    // Firmware (low and high 16 bits), threshold, readout mode, adjacent
    // channels, hold delay, coincidence window, trigger type, the number of
    // main biases and the main biases. The caller frees it with delete[].
    unsigned int* write_config(int& size) override;
    // "setMask|<channels>=<0|1>:...", "setTrim|<channels>=<value>:..." and,
    // for high-dynamic-range chips, "preampDAC|<channels>=<value>:...";
    // channel lists as channel_list reads them. Changes the chip set only.
    void parse_command(const std::string& text) override;

    // Stream ------------------------------------------------------------------
    // Called by the board manager's server thread for each event record of
    // this stream. Takes the caller's reference over in every case: the
    // caller must not release it. False when the queue was full (the event
    // is dropped and counted) or shut down.
    bool push_data(ModuleData* data);
    // The same for several records in order, under one lock of the queue;
    // returns how many were queued.
    std::size_t push_data(ModuleData* const* data, std::size_t n);
    // Events dropped since the module was made.
    unsigned long n_dropped() const { return queue.n_dropped(); }
    // The board's event counter of events just taken, in their order (not
    // necessarily each of them). Server thread only.
    void note_counter(std::uint16_t counter);
    // The stream's board is heard again after a silence: true when a run
    // of this module goes on. The module then tells what the board's event
    // counter missed, with its next event; with `restart` (the board has
    // stopped, or started anew), it also sends the board every setting and,
    // unless the run is paused, its start, on a thread of its own; between
    // runs, with `restart`, its settings only.
    bool board_back(bool restart);
    std::size_t n_queued() const { return queue.count(); }

    DataStream* get_stream() const;
    int get_hybrid_id() const { return hybrid_id; }
    unsigned long get_firmware() const;
    FenrowModuleData* get_module_data() const { return module_data; }

    // The chip set (the value of "ta").
    TAmanager& chips() const { return ta->get_value(); }
    // The lock of the stream's settings: the chip set's, which every other
    // setting parameter shares, so that a setting is set, and its observer
    // sends it, under this one lock. It guards the parameters' values, the
    // chip set and what the stream record holds of them (readout mode,
    // adjacent channels, hold, Vout, polarity, chips): hold it to read or
    // change any of them from a thread of its own. Held only while settings
    // are read, changed and handed to the board manager's queue, never while
    // waiting for a board; taken after the configuration's document lock
    // and before the board manager's locks and the analysis's shape lock
    // (a chip count resizes the analysis under it, waiting for the event
    // the monitor thread is analysing; the analysis never takes it).
    std::recursive_mutex& chips_lock() const { return ta->mutex(); }
    // A copy of a setting's value, read under chips_lock(): for a thread
    // that may race with a client's change (the dialogs, the configuration).
    template <class T>
    T setting(const std::string& name) const
    {
        std::lock_guard<std::recursive_mutex> lock(chips_lock());
        return get_par_value<T>(name);
    }

    // Sends every setting to the board again, in the board's order; blocks
    // until the board manager's command queue has drained, four times
    // (not at all without wait_between, for a thread that collects the
    // commands rather than sending them). False when it stopped early as its
    // loader was cancelled. Waits with chips_lock() free: a caller that
    // waits does not hold it.
    bool load_config_values(bool wait_between = true);

    // Runs work on a thread of its own, which may use the module and its
    // board manager until it returns: the module's destructor, and the
    // manager's (stop_loaders), cancel it and join it first. Cancelled, the
    // module's waits for the board end within 0.1 s and load_config_values
    // sends no more. False, and nothing run, once the module's loaders have
    // been cancelled.
    bool start_loader(std::function<void()> work);
    bool loader_cancelled() const { return loading_cancelled.load(); }
    // Cancels and joins the loaders of every module that sends through the
    // manager, which is going.
    static void stop_loaders(const Fenrow* manager);
    // Pedestals 2048 and noise 2.5 for every channel of the analysis.
    void set_default_pedestals();
    // Called by the stream record when the board reports its firmware.
    void set_analysis_firmware(unsigned long firmware);
    // "Pedestals[<id>]" and the pedestals on standard output.
    void print_pedestals();

    // Observers of the parameters: each sends its setting to the board.
    void set_threshold(int value);
    void set_vfp(int value);
    void set_vthrh(int value);
    void set_vfsf(int value);
    void set_vfss(int value);
    void set_testpulse(int value);
    void set_testpoint(int value);
    void set_hold_delay(int value);
    void set_ro_mode(int value);
    // A count the readout-mode command cannot carry (0 .. MAX_ADJACENT) is
    // refused (ParameterRefused, and a line in the log).
    void set_nadj(int value);
    // Why a count of adjacent channels is refused.
    static std::string adjacent_refusal(const std::string& n);
    void set_ta(const TAmanager& value);
    // A count outside 1 .. TAmanager::max_chips is refused
    // (ParameterRefused, and a line in the log).
    void set_nchip(int n);
    void set_hold(bool on);
    void set_trg_type(int value);
    void set_vout(bool on);
    void set_polarity(int value);
    void set_ctw(int value);
    // Stores v as entry i of "mbias" and sends it; i outside the list is
    // refused with a message.
    void set_mbias(int i, int v);
    // The chip registers of the chip set, in one configuration packet.
    void load_register();

    // Resizes the analysis to the chip set and makes the "pedestal" and
    // "noise" lists follow its channel count (kept entries stay, new ones take
    // the defaults).
    void fit_analysis();

private:
    Fenrow* manager() const;
    ModuleNode* node() const;
    void send_bias(int selector, int value, int stream);
    void log_run_step(const char* what);
    void send_readout_mode();
    // refuse_format_change, but for the module's own forcing of a pedestal
    // run.
    void refuse_layout_change(const std::string& format, const char* setting);
    void send_trigger(int type, int mask);
    // The lists "pedestal" and "noise" at the analysis's channel count.
    void fit_pedestal_lists();
    // Row size of the data format of the present readout mode; 0 without one.
    std::size_t data_row_size();
    // Cancels and joins the loaders of the modules `which` picks.
    static void stop_loaders_where(const std::function<bool(const FenrowStream&)>& which);
    // Sets the parameter to its own value, so that its observer sends it.
    template <class T>
    void resend(Par<T>* p);
    template <class T>
    void resend_unless_refused(Par<T>* p);

    int nchip = 1;
    int nchan = 1;
    int hybrid_id;
    int saved_trg_type = 0;
    int saved_ro_mode = 0;
    std::atomic<bool> forced{false};
    std::atomic<bool> loading_cancelled{false};
    FenrowModuleData* module_data;
    DataQueue queue;
    unsigned long dropped_at_start = 0;
    int selected_channel = 0;

    // The run, from Start to Stop: whether one goes on and is paused, under
    // run_mutex, which the start and stop commands are sent under too.
    std::mutex run_mutex;
    bool in_run = false;
    bool paused = false;
    // Each run's number.
    std::atomic<unsigned> run_serial{0};
    // 1: the board went on by itself after a silence; 2: it was started
    // again. Told with the next event.
    std::atomic<int> resumed{0};
    // Server thread: the last counter of the run of that number.
    unsigned counted_serial = 0;
    bool have_counter = false;
    std::uint16_t last_counter = 0;

    Par<int>* threshold = nullptr;
    Par<std::vector<int>>* mbias = nullptr;
    Par<int>* vfp = nullptr;
    Par<int>* vthrh = nullptr;
    Par<int>* vfsf = nullptr;
    Par<int>* vfss = nullptr;
    Par<int>* test_pulse = nullptr;
    Par<int>* test_point = nullptr;
    Par<int>* hold_delay = nullptr;
    Par<int>* ro_mode = nullptr;
    Par<int>* nadj = nullptr;
    Par<TAmanager>* ta = nullptr;
    Par<int>* nchip_par = nullptr;
    Par<bool>* hold = nullptr;
    Par<int>* trg_type = nullptr;
    Par<bool>* vout = nullptr;
    Par<int>* polarity = nullptr;
    Par<int>* ctw = nullptr;
    Par<bool>* coincidence = nullptr;
};

// Reads a channel list ("0-3,7,12") into list: the channels appended, then
// sorted and freed of duplicates. The number of entries. Items that are no
// number or range are skipped; a range given high to low counts as low to
// high; channels beyond the largest chip set a stream can hold are left out.
int channel_list(const std::string& text, std::vector<int>& list);

} // namespace Ostrel

#endif
