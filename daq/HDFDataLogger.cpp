#include "daq/HDFDataLogger.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <hdf5.h>

#include "daq/GenModule.h"
#include "daq/HDFChunkWriter.h"
#include "daq/HDFFileDriver.h"
#include "daq/HDFUserData.h"
#include "daq/HDFUtils.h"
#include "daq/ScanRunManager.h"
#include "daq/TellumRunManager.h"
#include "data/Analysis.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"
#include "ostrel/TellumData.h"

namespace {

// The run record, as stored: native unsigned 32-bit fields, the time as C's
// broken-down UTC time (month 0 to 11, year since 1900).
struct RunInfoTime {
    uint32_t second;
    uint32_t minute;
    uint32_t hour;
    uint32_t mday;
    uint32_t month;
    uint32_t year;
};

struct RunInfo {
    uint32_t run_type;
    uint32_t run_number;
    uint32_t nevts;
    RunInfoTime time;
};

static_assert(sizeof(RunInfoTime) == 24 && sizeof(RunInfo) == 36, "run record layout");

// A scan variable's value at a scan point.
struct VarState {
    int32_t type;
    double value;
};

// A scan variable of the scan definition.
struct VarDefinition {
    int32_t type;
    int32_t npoints;
    double from;
    double to;
};

static_assert(sizeof(VarState) == 16 && sizeof(VarDefinition) == 24, "scan record layout");

// The flush rule.
constexpr double flush_megabytes = 50.0;
constexpr double flush_seconds = 300.0;

hid_t compound(size_t size, std::initializer_list<std::pair<const char*, std::pair<size_t, hid_t>>> fields)
{
    const hid_t t = H5Tcreate(H5T_COMPOUND, size);
    for (const auto& f : fields)
        H5Tinsert(t, f.first, f.second.first, f.second.second);
    return t;
}

void close_object(hid_t& id)
{
    if (id >= 0)
        H5Oclose(id);
    id = -1;
}

void close_type(hid_t& id)
{
    if (id >= 0)
        H5Tclose(id);
    id = -1;
}

// The first n bins of one of the histogram set's per-channel histograms,
// read under the histogram's lock.
void copy_bins(const HstData& d, HstHistogram* h, double* (HstData::*bins)() const, std::vector<double>& into,
               size_t n)
{
    if (!h)
        return;
    hst_function_lock(HST_FUNCTION(h));
    if (const double* values = (d.*bins)())
        std::copy(values, values + n, into.begin());
    hst_function_unlock(HST_FUNCTION(h));
}

hid_t create_group(hid_t file, const std::string& path)
{
    return H5Gcreate2(file, path.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
}

} // namespace

struct Header {
    RunInfo run_info;
};

// The datasets of one module in the open file (identifiers −1 until made).
// Modules without an analysis have only their folder and configuration.
struct ModuleDataIDs {
    uint32_t nscan = 0;
    uint32_t npoint = 0;
    uint32_t nped = 0;   // pedestal rows written
    hid_t folder = -1;
    hid_t pedestal_group = -1;
    hid_t pedestals = -1;
    hid_t noise = -1;
    hid_t ped_evtno = -1;
    hid_t evt_time = -1;
    hid_t config = -1;
    hid_t maps = -1;
    int ncol = 0;   // channels of the pedestal and noise rows
};

// A module's data stream in the open file. Its rows, and their times, wait
// in memory until a chunk of the dataset is full (HDFChunkWriter).
struct HDFStream {
    HDFUserData* data;    // the descriptor's object id
    GenModule* module;
    std::unique_ptr<HDFChunkWriter> times;   // the stream's "time" dataset, if made
    size_t row_size;      // the data format's
    std::vector<char> resized;   // rows cut or padded to the format's size
    bool warned = false;
    // Where events' rows begin, with the count of events taken with them:
    // the first after the file last held every row, and each whose rows
    // reach into a new chunk. A flush that leaves chunks to the workers
    // writes whole chunks, so the file then ends at the start of a chunk
    // and these tell which event it ends in.
    std::deque<std::pair<long, unsigned long>> starts;
};

struct HDFPrivate {
    Header H{};
    hid_t fileid = -1;
    hid_t header = -1;
    hid_t run_records = -1;
    hid_t modules = -1;
    hid_t scanID = -1;
    hid_t scanVars = -1;
    hid_t startID = -1;
    hid_t endID = -1;
    hid_t time_type = -1;
    hid_t info_type = -1;
    hid_t var_type = -1;
    std::map<Ostrel::DAQid, ModuleDataIDs> modlist;
    std::vector<HDFStream> streams;
    uint32_t nscan = 0;
    uint32_t npoints = 0;
    HDFWriteState io;            // the writes of the open file
    bool synced = false;         // a flush of the open file reached it whole
    bool dirty = false;          // written to since the last flush
    double data_bytes = 0;       // bytes of rows handed to the current file
    unsigned long resized = 0;   // rows cut or padded to the format's size
};

namespace {

// The modules that have a folder in the open file, with their datasets;
// none while no file is open.
std::vector<std::pair<GenModule*, ModuleDataIDs*>> in_file(HDFPrivate& p, const std::vector<GenModule*>& modules)
{
    std::vector<std::pair<GenModule*, ModuleDataIDs*>> out;
    if (p.fileid < 0)
        return out;
    for (GenModule* m : modules) {
        auto it = p.modlist.find(m->get_id());
        if (it != p.modlist.end())
            out.emplace_back(m, &it->second);
    }
    return out;
}

} // namespace

HDFDataLogger::HDFDataLogger(TellumRunManager* rm, bool compress, unsigned long max_size)
    : DataLogger(rm, compress, max_size), priv(new HDFPrivate), last_time(0), last_size(0), last_event(0)
{
    set_tail_func([](const char** block, void* self) { return writeTail(block, static_cast<HDFDataLogger*>(self)); },
                  this);
    set_extension("h5");
}

HDFDataLogger::~HDFDataLogger()
{
    if (priv->fileid >= 0 && is_open())
        close();
    // Streams of a file that never opened, or of modules that had no data
    // group in the last one.
    for (auto& entry : descriptors) {
        const long oid = entry.second.get_object_id();
        if (oid > 0)
            delete reinterpret_cast<HDFUserData*>(oid);
    }
    delete priv;
}

unsigned long HDFDataLogger::get_resized_rows() const
{
    return priv->resized;
}

void HDFDataLogger::register_data_stream(int n, FileIODescriptor* d)
{
    Ostrel::DAQmanager* manager = Ostrel::DAQmanager::theDAQmanager();
    for (int i = 0; d && i < n; ++i) {
        const Ostrel::DAQid id = d[i].get_module_id();
        if (descriptors.count(id)) {
            Ostrel::ostream log(Ostrel::LOG_WARNING);
            log << "HDFDataLogger: Identifier " << id << " already registered. Ignoring" << std::endl;
            continue;
        }
        HDFUserData* data = new HDFUserData(-1, id.str(), d[i].get_format());
        data->set_obj(manager->find_module(id));
        d[i].set_object_id(reinterpret_cast<long>(data));
        descriptors[id] = d[i];
    }
    Ostrel::FileIOManager::register_data_stream(n, d);
}

// ---- the file --------------------------------------------------------------

void HDFDataLogger::fill_run_info(unsigned long nevts)
{
    RunInfo& r = priv->H.run_info;
    const std::time_t now = wall_time();
    std::tm tm{};
    gmtime_r(&now, &tm);
    r.time = {static_cast<uint32_t>(tm.tm_sec),  static_cast<uint32_t>(tm.tm_min),
              static_cast<uint32_t>(tm.tm_hour), static_cast<uint32_t>(tm.tm_mday),
              static_cast<uint32_t>(tm.tm_mon),  static_cast<uint32_t>(tm.tm_year)};
    r.run_number = run_manager ? static_cast<uint32_t>(run_manager->get_run_number()) : 0;
    r.run_type = run_manager ? static_cast<uint32_t>(run_manager->get_run_type()) : 0;
    r.nevts = static_cast<uint32_t>(nevts);
}

int HDFDataLogger::do_open(const char* path)
{
    HDFPrivate& p = *priv;
    p.io = HDFWriteState();
    // What a flush put on disk must stay there until the next flush, so
    // that a run that ends abruptly leaves a readable file: chunks that grow
    // move elsewhere in the file, and the space they leave is not reused.
    const hid_t fcpl = H5Pcreate(H5P_FILE_CREATE);
    const bool fcpl_ok = fcpl >= 0 && H5Pset_file_space_strategy(fcpl, H5F_FSPACE_STRATEGY_NONE, 0, 1) >= 0;
    // A file of that name that is not ours stays as it is.
    const hid_t fapl = fcpl_ok ? hdf_file_access(&p.io) : -1;
    // Without either list the file would be written otherwise than the
    // writer counts on (space reused, writes not seen by it): no file then.
    const bool properties_ok = fcpl_ok && fapl >= 0;
    hid_t file = -1;
    if (properties_ok) {
        H5E_BEGIN_TRY
        {
            file = H5Fcreate(path, H5F_ACC_EXCL, fcpl, fapl);
        }
        H5E_END_TRY;
    }
    if (fcpl >= 0)
        H5Pclose(fcpl);
    if (fapl >= 0)
        H5Pclose(fapl);
    if (file < 0) {
        const std::string why = !properties_ok    ? "the HDF5 library could not set up the file's properties"
                                : p.io.open_error ? p.io.open_reason()
                                                  : "the HDF5 library refused it";
        set_error(why);
        Ostrel::ostream log(Ostrel::LOG_SEVERE);
        log << "HDFDataLogger: Couldn't create file " << path << std::endl;
        return -1;
    }
    p.fileid = file;
    p.data_bytes = 0;
    p.synced = false;
    p.dirty = true;

    p.time_type = compound(sizeof(RunInfoTime), {{"second", {offsetof(RunInfoTime, second), H5T_NATIVE_UINT32}},
                                                 {"minute", {offsetof(RunInfoTime, minute), H5T_NATIVE_UINT32}},
                                                 {"hour", {offsetof(RunInfoTime, hour), H5T_NATIVE_UINT32}},
                                                 {"mday", {offsetof(RunInfoTime, mday), H5T_NATIVE_UINT32}},
                                                 {"month", {offsetof(RunInfoTime, month), H5T_NATIVE_UINT32}},
                                                 {"year", {offsetof(RunInfoTime, year), H5T_NATIVE_UINT32}}});
    p.info_type = compound(sizeof(RunInfo), {{"run_type", {offsetof(RunInfo, run_type), H5T_NATIVE_UINT32}},
                                             {"run_number", {offsetof(RunInfo, run_number), H5T_NATIVE_UINT32}},
                                             {"nevts", {offsetof(RunInfo, nevts), H5T_NATIVE_UINT32}},
                                             {"time", {offsetof(RunInfo, time), p.time_type}}});
    ScanRunManager* scan = scan_manager();
    if (scan)
        p.var_type = compound(sizeof(VarState), {{"type", {offsetof(VarState, type), H5T_NATIVE_INT32}},
                                                 {"value", {offsetof(VarState, value), H5T_NATIVE_DOUBLE}}});

    p.header = create_group(file, "/header");
    fill_run_info(run_manager ? run_manager->get_status().n_trigger() : 0);
    add_attribute(p.header, "setup", p.info_type, &p.H.run_info);
    p.run_records = create_array(file, "/header/run_records", p.info_type, 1);
    append_data(p.run_records, 0, 1, &p.H.run_info, 1);

    const std::vector<GenModule*> mods = run_modules();
    std::vector<uint32_t> words;
    for (GenModule* m : mods) {
        unsigned int w = 0;
        m->set_header_description(w);
        words.push_back(w);
    }
    hid_t header_modules = create_array(file, "/header/modules", H5T_NATIVE_UINT32, 1);
    append_data(header_modules, 0, 1, words.data(), static_cast<long>(words.size()));
    close_object(header_modules);

    if (scan) {
        writeScanDefinition();
        hid_t points = create_group(file, "/scan/points");
        close_object(points);
        p.startID = create_array(file, "/scan/points/start", H5T_NATIVE_DOUBLE, 1);
        p.endID = create_array(file, "/scan/points/end", H5T_NATIVE_DOUBLE, 1);
        p.scanVars = create_array(file, "/scan/points/values", p.var_type, 1);
    }

    p.modules = create_group(file, "/modules");
    p.modlist.clear();
    p.streams.clear();
    for (GenModule* m : mods) {
        if (descriptors.count(m->get_id()))
            open_module(m);
    }

    writeMaps();
    writeConfig();
    writePedestals();

    last_time = 0;
    last_size = 0;
    last_event = run_manager ? run_manager->get_event_number() : 0;
    return 0;
}

// The module's folder, its pedestal and map datasets and its data stream.
void HDFDataLogger::open_module(GenModule* m)
{
    HDFPrivate& p = *priv;
    const Ostrel::DAQid& id = m->get_id();
    const std::string folder = "/modules/" + id.str();
    ModuleDataIDs& ids = p.modlist[id];
    ids.folder = create_group(p.fileid, folder);
    ids.config = create_array(p.fileid, (folder + "/configuration").c_str(), H5T_NATIVE_UINT32, 1);
    Analysis* ana = m->get_analysis();
    if (!ana)
        return;

    ids.pedestal_group = create_group(p.fileid, folder + "/pedestal");
    ids.ped_evtno = create_array(p.fileid, (folder + "/pedestal/evt_time").c_str(), H5T_NATIVE_DOUBLE, 1);
    bool has_map;
    {
        std::lock_guard<Ostrel::Mutex> lock(ana->get_lock());
        ids.ncol = ana->Ntot();
        has_map = ana->get_map() != nullptr;
    }
    ids.pedestals = create_array(p.fileid, (folder + "/pedestal/pedestal").c_str(), H5T_NATIVE_DOUBLE, ids.ncol);
    ids.noise = create_array(p.fileid, (folder + "/pedestal/noise").c_str(), H5T_NATIVE_DOUBLE, ids.ncol);
    if (has_map)
        ids.maps = create_array(p.fileid, (folder + "/maps").c_str(), H5T_NATIVE_UINT32, 1);

    // The streams of the first file come from the registration; a later
    // file makes its own, and the run manager's descriptor must carry it.
    FileIODescriptor& d = descriptors[id];
    HDFUserData* data = reinterpret_cast<HDFUserData*>(d.get_object_id());
    if (d.get_object_id() <= 0) {
        data = new HDFUserData(-1, id.str(), d.get_format());
        d.set_object_id(reinterpret_cast<long>(data));
        if (run_manager)
            run_manager->updateOID(id, d.get_object_id());
    }
    data->set_obj(m);
    if (data->attach(p.fileid, folder + "/data", d.get_format()) != 0)
        return;

    const std::string time_path = folder + "/data/time";
    if (H5Lexists(p.fileid, time_path.c_str(), H5P_DEFAULT) > 0) {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "HDFDataLogger: the data format of " << id << " names a field \"time\"; the event times of "
            << id << " are not stored" << std::endl;
    } else {
        ids.evt_time = create_array(p.fileid, time_path.c_str(), H5T_NATIVE_DOUBLE, 1);
    }

    HDFChunkPool* pool = HDFChunkPool::shared();
    data->buffer_rows(pool);
    HDFStream s;
    s.data = data;
    s.module = m;
    if (ids.evt_time >= 0) {
        s.times = std::make_unique<HDFChunkWriter>(ids.evt_time, 1, sizeof(double), pool);
        // The time rows belong to the data rows of the same numbers.
        s.times->follow(data->lead_writer());
    }
    s.row_size = static_cast<size_t>(data->get_row_size());
    p.streams.push_back(std::move(s));
}

void HDFDataLogger::close_objects()
{
    HDFPrivate& p = *priv;
    for (auto& entry : p.modlist) {
        ModuleDataIDs& ids = entry.second;
        for (hid_t* id : {&ids.pedestals, &ids.noise, &ids.ped_evtno, &ids.evt_time, &ids.config, &ids.maps,
                          &ids.pedestal_group, &ids.folder})
            close_object(*id);
    }
    p.modlist.clear();
    for (hid_t* id : {&p.run_records, &p.header, &p.scanVars, &p.startID, &p.endID, &p.scanID, &p.modules})
        close_object(*id);
    for (hid_t* id : {&p.info_type, &p.time_type, &p.var_type})
        close_type(*id);
}

int HDFDataLogger::do_close()
{
    HDFPrivate& p = *priv;
    if (p.fileid < 0)
        return -1;
    // After a failed write nothing more reaches the file (HDFFileDriver):
    // the objects are let go without writing out what waits.
    const bool writing = !writes_failed();
    if (writing) {
        for (HDFStream& s : p.streams)
            drain(s, FlushRows::last);
    }
    p.streams.clear();
    // The streams hold HDF5 objects and types: they go before the file and
    // the library. No descriptor may keep pointing at them, the run
    // manager's included.
    for (auto& entry : descriptors) {
        if (entry.second.get_object_id() > 0)
            delete reinterpret_cast<HDFUserData*>(entry.second.get_object_id());
        entry.second.set_object_id(0);
        if (run_manager)
            run_manager->updateOID(entry.first, 0);
    }
    if (writing)
        flush_data();
    close_objects();

    const herr_t rc = H5Fclose(p.fileid);
    p.fileid = -1;
    const bool failed = writes_failed();
    if (rc < 0 && !failed) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Could not close " << get_file_name() << std::endl;
    }
    // No flush reached it whole: nothing in it could be read.
    if (failed && !p.synced)
        std::remove(get_file_name().c_str());
    // Let the library go, unless another part of the program still holds
    // HDF5 objects: shutting down would close them under its feet.
    if (H5Fget_obj_count(H5F_OBJ_ALL, H5F_OBJ_ALL) == 0)
        H5close();
    return rc < 0 || failed ? -1 : 0;
}

bool HDFDataLogger::writes_failed()
{
    if (!priv->io.failed())
        return false;
    fail(priv->io.reason());
    return true;
}

int HDFDataLogger::do_sync()
{
    return sync_rows(FlushRows::all);
}

int HDFDataLogger::sync_ready()
{
    return failed() ? -1 : sync_rows(FlushRows::ready);
}

int HDFDataLogger::sync_rows(FlushRows what)
{
    if (priv->fileid < 0)
        return 0;
    if (priv->dirty)
        flush_data(what);
    return writes_failed() ? -1 : 0;
}

int HDFDataLogger::writeTail(const char** block, HDFDataLogger* logger)
{
    *block = nullptr;
    logger->writePedestals();
    return 0;
}

void HDFDataLogger::flush_data(FlushRows what)
{
    HDFPrivate& p = *priv;
    if (p.fileid < 0 || p.io.failed())
        return;
    for (HDFStream& s : p.streams)
        drain(s, what);
    // The record counts the events whose rows this flush puts in the file.
    const unsigned long in_file = events_in_file();
    fill_run_info(in_file);
    append_data(p.run_records, 1, 1, &p.H.run_info, 1);
    H5Fflush(p.fileid, H5F_SCOPE_GLOBAL);
    // A byte past what the flush wrote: the library extends a block that
    // ends the file in place, which would write over the flushed one.
    H5Fincrement_filesize(p.fileid, 1);
    p.dirty = false;
    if (!writes_failed()) {
        p.synced = true;
        keep(in_file);
    }
}

unsigned long HDFDataLogger::events_in_file()
{
    unsigned long n = events_logged();
    for (HDFStream& s : priv->streams) {
        const HDFChunkWriter* lead = s.data->lead_writer();
        if (!lead)
            continue;
        const long in_file = lead->rows_in_file();
        if (in_file >= lead->rows()) {
            s.starts.clear();
            continue;
        }
        // The event whose rows the file ends in, and those after it, are
        // not in it.
        while (s.starts.size() > 1 && s.starts[1].first <= in_file)
            s.starts.pop_front();
        if (!s.starts.empty())
            n = std::min(n, s.starts.front().second - 1);
    }
    return n;
}

// ---- events ----------------------------------------------------------------

// Blocks written without a stream descriptor (the internal-trigger run's)
// go to the stream of the module that the event record names.
long HDFDataLogger::write_record(const char* block, unsigned long size)
{
    if (!is_open() || failed())
        return -1;
    TellumData record(0, 0, 0, 0);
    if (!block || size < sizeof record)
        return 0;
    std::memcpy(&record, block, sizeof record);
    if (record.header != TellumData::MARKER)
        return 0;
    int rows = 0;
    for (HDFStream& s : priv->streams) {
        if ((static_cast<unsigned int>(s.module->get_id().to_int()) & 0xFFFF) == record.mod_id) {
            rows = write_event(s, block, size);
            break;
        }
    }
    return writes_failed() ? -1 : rows;
}

// The file manager's plain write: the block as write_record takes it, and no
// bytes counted, so that the file is never split.
long HDFDataLogger::do_write(const char* block, unsigned long size)
{
    return write_record(block, size) < 0 ? -1 : 0;
}

long HDFDataLogger::do_write(const FileIODescriptor& d, const char* block, unsigned long size)
{
    // Only the logger's own streams: a descriptor of a module without a
    // data group, or of a closed file, carries nothing usable.
    const long oid = d.get_object_id();
    for (HDFStream& s : priv->streams) {
        if (reinterpret_cast<long>(s.data) == oid) {
            const int rows = write_event(s, block, size);
            return writes_failed() ? -1 : rows;
        }
    }
    return 0;
}

// The flush rule, then the event's rows. The number of rows.
int HDFDataLogger::write_event(HDFStream& s, const char* block, unsigned long size)
{
    HDFPrivate& p = *priv;
    const double t = run_time();
    const unsigned long event = run_manager ? run_manager->get_event_number() : 0;
    if (event != last_event) {
        const double mb = p.data_bytes / 1048576.0;
        const bool by_size = mb - last_size > flush_megabytes;
        const bool by_time = t - last_time > flush_seconds;
        if (by_size || by_time) {
            flush_data(FlushRows::ready);
            if (by_time)
                last_time = t;
            if (by_size)
                last_size = mb;
            last_event = event;
        }
    }

    const int bytes = static_cast<int>(std::min<unsigned long>(size, INT_MAX));
    // Rows that lie in the block are read there, and no further than the
    // block goes, whatever the module says: a row the block holds only in
    // part is filled up with zeros.
    int in_place = 0;
    size_t behind = 0;
    if (const char* at = s.module->rows_in_place(block, bytes, in_place, behind)) {
        if (in_place <= 0 || at < block || at > block + bytes)
            return 0;
        behind = std::min(behind, static_cast<size_t>(block + bytes - at));
        stage(s, at, in_place, s.row_size, behind, t);
        return in_place;
    }
    char* rows = nullptr;
    const int n = s.module->interpret_data_format(block, bytes, &rows);
    const int written = n > 0 && rows ? n : 0;
    if (written) {
        // A copy holds its rows as the module says it makes them.
        const int given = s.module->get_data_row_size();
        const size_t stride = given > 0 ? static_cast<size_t>(given) : s.row_size;
        stage(s, rows, n, stride, static_cast<size_t>(n) * stride, t);
    }
    delete[] rows;
    return written;
}

void HDFDataLogger::stage(HDFStream& s, const char* rows, int nrows, size_t stride, size_t nbytes, double t)
{
    const size_t n = static_cast<size_t>(nrows);
    const size_t row = s.row_size;
    took_event();
    const long first = s.data->get_nevts();
    const long chunk = static_cast<long>(HDFChunkWriter::chunk_rows);
    if (s.starts.empty() || first / chunk != (first + nrows - 1) / chunk || first % chunk == 0)
        s.starts.emplace_back(first, events_logged());
    if (stride != row) {
        // Rows of another size are cut or filled up with zeros to the
        // format's.
        const size_t keep = std::min(stride, row);
        s.resized.assign(n * row, 0);
        char* to = s.resized.data();
        for (size_t r = 0; r < n && r * stride < nbytes; ++r)
            std::memcpy(to + r * row, rows + r * stride, std::min(keep, nbytes - r * stride));
        rows = to;
        nbytes = n * row;
        priv->resized += n;
        if (!s.warned) {
            s.warned = true;
            Ostrel::ostream log(Ostrel::LOG_WARNING);
            log << "HDFDataLogger: " << s.module->get_id() << " hands rows of " << stride
                << " bytes for a data format of " << row << " bytes per row" << std::endl;
        }
    }
    // The time rows keep the row numbers of the data rows they belong to.
    s.data->write_data(rows, nrows, nbytes);
    if (s.times)
        s.times->append_with(n, [t](char* to, size_t, size_t k) {
            for (size_t r = 0; r < k; ++r)
                std::memcpy(to + r * sizeof t, &t, sizeof t);
        });
    priv->data_bytes += static_cast<double>(n * (row + sizeof(double)));
    priv->dirty = true;
}

void HDFDataLogger::drain(HDFStream& s, FlushRows what)
{
    s.data->flush_rows(what);
    if (s.times)
        s.times->flush(what);
}

// ---- side records ----------------------------------------------------------

void HDFDataLogger::side_written()
{
    if (priv->fileid < 0)
        return;
    priv->dirty = true;
    writes_failed();
}

void HDFDataLogger::writePedestals()
{
    const double t = run_time();
    for (auto [m, ids] : in_file(*priv, run_modules())) {
        Analysis* ana = m->get_analysis();
        if (!ana || ids->pedestals < 0)
            continue;
        // Rows of the width the datasets were made with, whatever the
        // analysis holds now.
        const size_t ncol = static_cast<size_t>(std::max(ids->ncol, 1));
        std::vector<double> ped(ncol, 0.0);
        std::vector<double> noise(ncol, 0.0);
        {
            std::lock_guard<Ostrel::Mutex> lock(ana->get_lock());
            const size_t n = std::min(ncol, static_cast<size_t>(std::max(ana->Ntot(), 0)));
            copy_bins(*ana, ana->get_ped(), &HstData::Ped, ped, n);
            copy_bins(*ana, ana->get_noise(), &HstData::Noise, noise, n);
        }
        append_data(ids->ped_evtno, ids->nped, 1, &t, 1);
        append_data(ids->pedestals, ids->nped, ids->ncol, ped.data(), 1);
        append_data(ids->noise, ids->nped, ids->ncol, noise.data(), 1);
        ids->nped += 1;
    }
    side_written();
}

void HDFDataLogger::writeMaps()
{
    for (auto [m, ids] : in_file(*priv, run_modules())) {
        const Analysis* ana = m->get_analysis();
        if (!ana || ids->maps < 0)
            continue;
        uint32_t shape = 0;
        std::vector<uint32_t> words = pad_words(*ana, shape);
        words.insert(words.begin(), shape);
        append_data(ids->maps, 0, 1, words.data(), static_cast<long>(words.size()));
    }
    side_written();
}

void HDFDataLogger::writeConfig()
{
    for (auto [m, ids] : in_file(*priv, run_modules())) {
        int n = 0;
        unsigned int* words = m->write_config(n);
        if (words && n > 0 && ids->config >= 0)
            append_data(ids->config, 0, 1, words, n);
        delete[] words;
    }
    side_written();
}

void HDFDataLogger::writeScanDefinition()
{
    HDFPrivate& p = *priv;
    ScanRunManager* scan = scan_manager();
    if (p.fileid < 0 || !scan || p.scanID >= 0)
        return;
    p.scanID = create_group(p.fileid, "/scan");
    hid_t def = create_group(p.fileid, "/scan/def");
    close_object(def);

    const int32_t nevt = scan->nevt_per_point();
    const int32_t nvar = scan->get_n_var();
    for (auto item : {std::make_pair("/scan/def/nevt", &nevt), std::make_pair("/scan/def/nvar", &nvar)}) {
        hid_t d = create_array(p.fileid, item.first, H5T_NATIVE_INT32, 1);
        append_data(d, 0, 1, item.second, 1);
        close_object(d);
    }

    std::vector<VarDefinition> vars;
    for (int i = 0; i < nvar; ++i) {
        const ScanVar& v = scan->get_var(i);
        vars.push_back({static_cast<int32_t>(v.type()), v.n_points(), v.first(), v.last()});
    }
    hid_t type = compound(sizeof(VarDefinition), {{"type", {offsetof(VarDefinition, type), H5T_NATIVE_INT32}},
                                                  {"npoints", {offsetof(VarDefinition, npoints), H5T_NATIVE_INT32}},
                                                  {"from", {offsetof(VarDefinition, from), H5T_NATIVE_DOUBLE}},
                                                  {"to", {offsetof(VarDefinition, to), H5T_NATIVE_DOUBLE}}});
    hid_t d = create_array(p.fileid, "/scan/def/variables", type, 1);
    append_data(d, 0, 1, vars.data(), static_cast<long>(vars.size()));
    close_object(d);
    close_type(type);
    side_written();
}

void HDFDataLogger::writeScanPoint()
{
    HDFPrivate& p = *priv;
    ScanRunManager* scan = scan_manager();
    if (p.fileid < 0 || !scan || p.startID < 0 || !scan->get_status().isRunning())
        return;
    const double t = run_time();
    const ScanPoint& point = scan->get_current();
    append_data(p.startID, p.nscan, 1, &t, 1);
    if (p.nscan > 0)
        append_data(p.endID, p.nscan - 1, 1, &t, 1);
    append_data(p.endID, p.nscan, 1, &t, 1);

    std::vector<VarState> values;
    for (const ScanVar& v : point)
        values.push_back({static_cast<int32_t>(v.type()), v.value()});
    append_data(p.scanVars, p.npoints, 1, values.data(), static_cast<long>(values.size()));
    p.nscan += 1;
    p.npoints += static_cast<uint32_t>(values.size());
    side_written();
}
