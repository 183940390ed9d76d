// Throughput of the data loggers, beside plain loops that write the same
// events with no framework around them, measured in the same run:
//
//   native binary file   plain fwrite loop | TellumLogger | TellumLogger in a run
//   HDF5 file            plain HDF5 loop   | HDFDataLogger | HDFDataLogger in a run
//
// Events are about 300 bytes: a 16-byte record header and one row of the
// RowModule layout with 128 ADC words of pedestal plus noise. "In a run"
// means the framework's run loop reading a module at full speed and a run
// manager writing through the logger, with the run manager's monitor queue
// (whose thread hands every event to the module's analysis) and without it;
// a run without a logger shows the loop's own cost.
//
//     bench_loggers [events] [folder]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <hdf5.h>
#include <unistd.h>

#include "daq/HDFDataLogger.h"
#include "daq/RunManagers.h"
#include "daq/TellumLogger.h"
#include "data/Analysis.h"
#include "daq/RowModule.h"
#include "ostrel/Log.h"

namespace {

using Descriptor = Ostrel::FileIOManager::FileIODescriptor;
constexpr int channels = 128;
constexpr size_t pool_size = 4096;

// Distinct events, used round and round: making events is not what is
// measured.
class PoolModule : public RowModule {
public:
    // The analysis gives the module its data group in HDF5 files.
    PoolModule(const Ostrel::DAQid& id, size_t nevents)
        : RowModule(id, channels, new Analysis(1, channels, 100, 0.0, 100.0)), remaining(0)
    {
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (size_t i = 0; i < pool_size; ++i) {
            Ostrel::ModuleData* block = make_event(static_cast<uint32_t>(i));
            char* adc = block->data() + 2 * head_bytes;   // record header, then the row's head
            for (int k = 0; k < channels; ++k) {
                const uint16_t v = static_cast<uint16_t>(std::lround(500 + 2 * (k % 16) + noise(rng)));
                std::memcpy(adc + 2 * k, &v, 2);
            }
            pool.push_back(block);
        }
        reset(nevents);
    }
    ~PoolModule() override
    {
        for (Ostrel::ModuleData* b : pool)
            b->dec_ref();
    }

    void reset(size_t n)
    {
        remaining = n;
        next = 0;
    }
    Ostrel::ModuleData* event(size_t i) const { return pool[i % pool_size]; }
    size_t event_bytes() const { return pool[0]->size(); }

    bool hasData() override { return remaining > 0; }
    Ostrel::ModuleData* getData() override
    {
        if (remaining == 0)
            return nullptr;
        --remaining;
        Ostrel::ModuleData* b = pool[next++ % pool_size];
        b->inc_ref();
        return b;
    }

private:
    std::vector<Ostrel::ModuleData*> pool;
    size_t remaining;
    size_t next = 0;
};

// A data run whose writeData goes to a logger of the benchmark's choice.
class BenchRunManager : public DataRunManager {
public:
    BenchRunManager(const Ostrel::DAQid& id, DataLogger* logger, const Descriptor* d)
        : DataRunManager(id), bench_logger(logger), descriptor(d)
    {
    }
    ~BenchRunManager() override { retire(); }
    int writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data) override
    {
        if (bench_logger)
            bench_logger->write(*descriptor, data->data(), data->size());
        return DataRunManager::writeData(id, data);
    }

private:
    DataLogger* bench_logger;
    const Descriptor* descriptor;
};

// The files of one measurement go before the next is set up: truncating
// them would be timed too.
std::vector<std::string> outputs;

void clean()
{
    for (const std::string& path : outputs)
        std::remove(path.c_str());
    sync();
}

double seconds(const std::function<void()>& f)
{
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Result {
    const char* name;
    double events_per_second;
    double megabytes_per_second;
};

Result report(const char* name, size_t n, size_t bytes, double s)
{
    const Result r{name, n / s, n * static_cast<double>(bytes) / s / 1e6};
    std::printf("  %-44s %10.0f events/s %8.1f MB/s   (%.2f s)\n", name, r.events_per_second,
                r.megabytes_per_second, s);
    std::fflush(stdout);
    return r;
}

void ratio(const Result& a, const Result& b)
{
    std::printf("  %s / %s: %.2f\n", a.name, b.name, a.events_per_second / b.events_per_second);
}

// Runs the module through a run manager until it has no more events.
double run(TellumRunManager& rm, PoolModule& m, size_t n)
{
    m.reset(n);
    rm.set_max_events(n);
    return seconds([&] {
        rm.Activate();
        while (rm.isActive())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
}

// ---- plain loops ---------------------------------------------------------------

void plain_fwrite(const std::string& path, const PoolModule& m, size_t n)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    for (size_t i = 0; i < n; ++i) {
        const Ostrel::ModuleData* b = m.event(i);
        std::fwrite(b->data(), 1, b->size(), f);
    }
    std::fclose(f);
}

hid_t plain_dataset(hid_t file, const char* name, hid_t type)
{
    const hsize_t dims = 0, maxdims = H5S_UNLIMITED, chunk = 256;
    const hid_t space = H5Screate_simple(1, &dims, &maxdims);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(dcpl, 1, &chunk);
    H5Pset_deflate(dcpl, 1);
    const hid_t d = H5Dcreate2(file, name, type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    H5Pclose(dcpl);
    H5Sclose(space);
    return d;
}

void plain_append(hid_t d, hid_t type, hsize_t at, hsize_t rows, const void* buf)
{
    const hsize_t extent = at + rows;
    H5Dset_extent(d, &extent);
    const hid_t fspace = H5Dget_space(d);
    H5Sselect_hyperslab(fspace, H5S_SELECT_SET, &at, nullptr, &rows, nullptr);
    const hid_t mspace = H5Screate_simple(1, &rows, nullptr);
    H5Dwrite(d, type, mspace, fspace, H5P_DEFAULT, buf);
    H5Sclose(mspace);
    H5Sclose(fspace);
}

// The rows and their run times appended to a compound and a time dataset,
// `block` rows at a time.
void plain_hdf5(const std::string& path, const PoolModule& m, size_t n, size_t block)
{
    const size_t row = static_cast<size_t>(RowModule::row_bytes(channels));
    const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
    const hid_t type = H5Tcreate(H5T_COMPOUND, row);
    const hsize_t len = channels;
    const hid_t adc = H5Tarray_create2(H5T_NATIVE_UINT16, 1, &len);
    H5Tinsert(type, "evt", 0, H5T_NATIVE_UINT32);
    H5Tinsert(type, "temp", 8, H5T_NATIVE_DOUBLE);
    H5Tinsert(type, "adc", 16, adc);
    const hid_t data = plain_dataset(file, "event", type);
    const hid_t time = plain_dataset(file, "time", H5T_NATIVE_DOUBLE);
    std::vector<char> rows(block * row);
    std::vector<double> times(block);
    size_t staged = 0;
    hsize_t written = 0;
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(&rows[staged * row], m.event(i)->data() + RowModule::head_bytes, row);
        times[staged] = 1e-6 * static_cast<double>(i);
        if (++staged == block || i + 1 == n) {
            plain_append(data, type, written, staged, rows.data());
            plain_append(time, H5T_NATIVE_DOUBLE, written, staged, times.data());
            written += staged;
            staged = 0;
        }
    }
    H5Dclose(time);
    H5Dclose(data);
    H5Tclose(adc);
    H5Tclose(type);
    H5Fclose(file);
}

// ---- the loggers -------------------------------------------------------------

// The module's events straight into the logger, as a run manager's
// writeData hands them over.
void through_logger(DataLogger& logger, const Descriptor& d, const PoolModule& m, size_t n,
                    const std::string& path)
{
    logger.open(path.c_str());
    for (size_t i = 0; i < n; ++i) {
        const Ostrel::ModuleData* b = m.event(i);
        logger.write(d, b->data(), b->size());
    }
    logger.close();
}

Descriptor register_module(DataLogger& logger, PoolModule& m)
{
    Descriptor d;
    d.set_module_id(m.get_id());
    d.set_format(m.get_data_format());
    logger.register_data_stream(1, &d);
    return d;
}

} // namespace

int main(int argc, char** argv)
{
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000;
    std::string dir = argc > 2 ? argv[2] : "";
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-loggers-XXXXXX";
        if (!mkdtemp(&dir[0]))
            return 1;
    }
    // The run managers' lines would be in the way of the figures.
    Ostrel::Logger::instance()->console()->set_mask(Ostrel::LOG_ERROR | Ostrel::LOG_SEVERE);

    PoolModule m("7", 0);
    const size_t bytes = m.event_bytes();
    std::printf("%zu events of %zu bytes (rows of %d bytes), files in %s\n\n", n, bytes,
                RowModule::row_bytes(channels), dir.c_str());

    std::printf("run loop alone\n");
    {
        DataRunManager rm("bench-loop");
        rm.addModule(&m);
        report("run loop, no logger", n, bytes, run(rm, m, n));
        rm.set_monitor(nullptr);
        report("run loop, no logger, no monitor queue", n, bytes, run(rm, m, n));
        rm.deleteModule(&m);
    }

    std::printf("\nnative binary file\n");
    const std::string native = dir + "/run.data";
    const std::string h5 = dir + "/run.h5";
    outputs = {native, h5};
    clean();
    const Result plain = report("plain fwrite loop", n, bytes, seconds([&] { plain_fwrite(native, m, n); }));
    Result logged{}, in_run{};
    clean();
    {
        TellumLogger logger(nullptr, false, 0);
        const Descriptor d = register_module(logger, m);
        logged = report("TellumLogger", n, bytes, seconds([&] { through_logger(logger, d, m, n, native); }));
    }
    Result in_run_bare{};
    {
        TellumLogger logger(nullptr, false, 0);
        const Descriptor d = register_module(logger, m);
        BenchRunManager rm("bench-native", &logger, &d);
        logger.set_run_manager(&rm);
        rm.addModule(&m);
        for (Result* r : {&in_run, &in_run_bare}) {
            clean();
            logger.open(native.c_str());
            *r = report(r == &in_run ? "TellumLogger in a run" : "TellumLogger in a run, no monitor queue", n, bytes,
                        run(rm, m, n));
            logger.close();
            rm.set_monitor(nullptr);
        }
        rm.deleteModule(&m);
    }
    ratio(logged, plain);
    ratio(in_run, plain);
    ratio(in_run_bare, plain);

    std::printf("\nHDF5 file\n");
    const size_t nh = n / 2;
    clean();
    report("plain HDF5 loop, one event per append", nh / 10, bytes,
           seconds([&] { plain_hdf5(h5, m, nh / 10, 1); }));
    clean();
    const Result plain_h5 =
        report("plain HDF5 loop, 4096 events per append", nh, bytes, seconds([&] { plain_hdf5(h5, m, nh, 4096); }));
    Result h5_logged{}, h5_run{};
    clean();
    {
        HDFDataLogger logger(nullptr, false, 0);
        // The logger writes the streams of the run manager's modules.
        DataRunManager owner("bench-h5-owner");
        owner.addModule(&m);
        logger.set_run_manager(&owner);
        const Descriptor d = register_module(logger, m);
        h5_logged = report("HDFDataLogger", nh, bytes, seconds([&] { through_logger(logger, d, m, nh, h5); }));
        owner.deleteModule(&m);
    }
    Result h5_run_bare{};
    {
        DataRunManager rm("bench-h5");
        rm.addModule(&m);
        for (Result* r : {&h5_run, &h5_run_bare}) {
            clean();
            rm.log_data(h5.c_str(), false, 0);
            *r = report(r == &h5_run ? "HDFDataLogger in a run" : "HDFDataLogger in a run, no monitor queue", nh, bytes,
                        run(rm, m, nh));
            rm.set_monitor(nullptr);
        }
        rm.deleteModule(&m);
    }
    ratio(h5_logged, plain_h5);
    ratio(h5_run, plain_h5);
    ratio(h5_run_bare, plain_h5);
    for (const std::string& path : outputs)
        std::remove(path.c_str());
    if (argc <= 2)
        rmdir(dir.c_str());
    return 0;
}
