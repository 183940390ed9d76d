// The HDF5 run file: the logger the run managers use when no plug-in
// supplies one.
#ifndef BRISKO_DAQ_HDFDATALOGGER_H
#define BRISKO_DAQ_HDFDATALOGGER_H

#include <map>

#include "daq/DataLogger.h"
#include "daq/HDFChunkWriter.h"
#include "ostrel/DAQid.h"

struct HDFPrivate;
struct HDFStream;

// Event rows wait in memory and go to the file a chunk at a time; a flush
// (by the flush rule, flush_data or sync) and the close write them out, so
// the file holds the same rows as if each event had been appended on its
// own. What a flush wrote stays readable whatever becomes of the process
// or the disk afterwards: a file whose writing failed keeps what its last
// flush put in it (and is removed when no flush reached it).
class HDFDataLogger : public DataLogger {
public:
    HDFDataLogger(TellumRunManager* rm, bool compress, unsigned long max_size);
    ~HDFDataLogger() override;

    void register_data_stream(int n, FileIODescriptor* descriptors) override;
    // The block goes to the stream of the module its event record names:
    // its rows, 0 for none, -1 once the writing has failed. The file
    // manager counts no bytes for it.
    long write_record(const char* buffer, unsigned long size) override;

    void writePedestals() override;
    void writeMaps() override;
    void writeScanDefinition() override;
    void writeScanPoint() override;
    void writeConfig() override;

    // The file manager's tail function.
    static int writeTail(const char** block, HDFDataLogger* logger);
    // Writes the waiting rows and the latest run record, and flushes the
    // file to disk. With FlushRows::ready only the rows that need no
    // worker's compression to finish: a table's datasets stay of one
    // length, and the rest goes at a later flush.
    void flush_data(FlushRows what = FlushRows::all);
    // A sync that waits for no worker (FlushRows::ready): the periodic one
    // of a run, which must not hold the run up while a burst is compressed.
    int sync_ready() override;

    // Rows whose size (the module's get_data_row_size) differed from the
    // data format's row size, since the logger was made: they were cut or
    // padded with zeros to the format's size.
    unsigned long get_resized_rows() const;

protected:
    int do_open(const char* path) override;
    int do_close() override;
    long do_write(const char* buffer, unsigned long size) override;
    long do_write(const FileIODescriptor& descriptor, const char* buffer, unsigned long size) override;
    // A flush, when anything was written since the last one.
    int do_sync() override;

private:
    // True, and the failure recorded, once a write of the file has failed.
    bool writes_failed();
    void side_written();
    void fill_run_info(unsigned long nevts);
    // The events taken whose rows the file holds once the rows a flush
    // wrote are in it: all of them, unless chunks were left to the workers.
    unsigned long events_in_file();
    void open_module(GenModule* module);
    int write_event(HDFStream& stream, const char* block, unsigned long size);
    // `nrows` rows, `stride` bytes apart, of which `nbytes` can be read.
    void stage(HDFStream& stream, const char* rows, int nrows, size_t stride, size_t nbytes, double t);
    void drain(HDFStream& stream, FlushRows what);
    // A flush when anything was written since the last one; as do_sync.
    int sync_rows(FlushRows what);
    void close_objects();

    HDFPrivate* priv;
    std::map<Ostrel::DAQid, FileIODescriptor> descriptors;
    double last_time;
    double last_size;
    unsigned long last_event;
};

#endif
