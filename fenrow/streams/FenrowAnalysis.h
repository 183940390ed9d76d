// The analysis of one board stream: decodes the stream's event records (every
// readout mode of the boards) into channel values and hits for the module's
// monitoring histograms, and keeps the board temperature of the last event.
#ifndef BRISKO_FENROW_STREAMS_FENROWANALYSIS_H
#define BRISKO_FENROW_STREAMS_FENROWANALYSIS_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "data/Analysis.h"

struct TellumData;

// The board part of a stream's event record, behind the 16-byte record
// header, in host byte order; the data words follow it.
struct FenrowPayload {
    double temp;              // board temperature in degrees
    double daq_time;          // run time of the run manager, in microseconds
    std::uint32_t time;       // board time
    std::uint16_t evtcnt;     // board event counter
    std::uint16_t nchan;      // entries the readout mode uses
    std::uint16_t romode;     // readout mode
    // std::uint16_t data[] follows at offset 26
};
constexpr int FENROW_PAYLOAD_HEAD = 26;

class FenrowAnalysis : public Analysis {
public:
    enum Kind { ordinary = 1, hdr = 2 };

    // 256 bins from 0 to 4096.
    FenrowAnalysis(int nchip, int nchan, unsigned long firmware, int kind = ordinary);
    ~FenrowAnalysis() override;

    // Of the last decoded event; read by the monitor window's timer.
    double temperature() const { return temp.load(std::memory_order_relaxed); }
    void set_firmware(unsigned long fw) { firmware.store(fw, std::memory_order_relaxed); }
    unsigned long get_firmware() const { return static_cast<unsigned long>(firmware.load(std::memory_order_relaxed)); }
    int get_kind() const { return kind; }

    // Spectra take the size of the signal, whatever its sign.
    void fill_spectrum_hitlist(int channel, double x) override;
    // A record too short to hold the board payload's head is not decoded.
    bool data_valid(TellumData* record) const override;
    // Channel values of the event (serial, sparse and adjacent readout),
    // hits and, for the ordinary kind, the pedestal and noise update. Data
    // words past the end of the record are never read.
    void decode(TellumData* record) override;

private:
    std::atomic<std::uint64_t> firmware;
    std::atomic<double> temp;
    int kind;
    std::vector<int> decoded;   // the channels of the event being decoded
};

// Streams of 64-channel high-dynamic-range chips: instead of the usual
// analysis, the event's peak channel above a fixed baseline is filled with
// the summed signal of the stream.
class HDRanalysis : public FenrowAnalysis {
public:
    // Always 64 channels per chip, whatever nchan says.
    HDRanalysis(int nchip, int nchan, unsigned long firmware);

    static constexpr double baseline = 2024.0;

    void Analyze() override;
};

#endif
