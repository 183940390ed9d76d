// Output files of the framework.
#ifndef OSTREL_FILEIOMANAGER_H
#define OSTREL_FILEIOMANAGER_H

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/DAQid.h"

namespace Ostrel {

// Writes one run into files. open() opens a file and calls the header
// function; write() counts the bytes and, once the maximum size (bytes; 0
// means no limit) is reached, closes the file (tail function) and goes on
// in the next one, named after the first with "_NNN" (001, 002, ...) before
// its extension, beginning again with the header function; close() calls
// the tail function and closes. A block that a header or tail function hands
// back is written and then freed with delete[].
//
// A file that exists is never replaced: a run file goes to the first free
// name, the name itself or the name with "-1", "-2", ... before its
// extension, and get_file_name() gives the name used.
//
// The first write that fails (a full disk, a size limit) ends the writing:
// one error line names the file and the error, every later write is refused
// (-1), no further file is begun, and the file keeps what the last sync()
// (or the opening, which syncs) put in it, and the default files whatever
// whole writes reached them; a file left with nothing is removed.
//
// The do_ operations do the real work: by default plain binary files through
// stdio; derived managers write other formats. The compression flag is kept
// for them; the default files are not compressed.
class FileIOManager {
public:
    class FileIODescriptor {
    public:
        FileIODescriptor() : _module_id(-1) {}
        const DAQid& get_module_id() const { return _module_id; }
        void set_module_id(const DAQid& id) { _module_id = id; }
        const std::string& get_format() const { return _format; }
        void set_format(const std::string& f) { _format = f; }
        long get_object_id() const { return _object_id; }
        void set_object_id(long id) { _object_id = id; }

    private:
        DAQid _module_id;
        std::string _format;
        long _object_id = -1;
    };

    // Header and tail functions: may set *block to a new[]-allocated block
    // and return its length; return 0 (or less) for no block.
    using BlockFunc = int (*)(const char** block, void* data);

    explicit FileIOManager(bool compress = false, unsigned long max_size = 0);
    FileIOManager(const FileIOManager&) = delete;
    FileIOManager& operator=(const FileIOManager&) = delete;

    // 0 on success, -1 on failure.
    int open(const char* name);
    int close();
    bool is_open() const { return _open.load(); }
    // Bytes written, or -1 when nothing is open or the write failed.
    long write(const char* buffer, unsigned long size);
    long write(const FileIODescriptor& descriptor, const char* buffer, unsigned long size);
    // Puts what was written so far where it outlives the process, so that
    // a run that ends abruptly or a write that fails later keeps it. 0, or
    // -1 when that failed (as a failed write).
    int sync();

    // Since the open, a write (or sync) failed.
    bool failed() const { return _failed.load(); }
    // Why the last open or write failed; empty when nothing did.
    std::string get_error() const;

protected:
    virtual int do_open(const char* name);
    virtual int do_close();
    virtual long do_write(const char* buffer, unsigned long size);
    virtual long do_write(const FileIODescriptor& descriptor, const char* buffer, unsigned long size);
    virtual int do_sync();

    // The writing of the open file failed for `error`: logs the one error
    // line (once) and refuses what follows. A do_ operation that fails
    // calls it.
    void fail(const std::string& error);
    // What the error line adds after its own words, once the writing has
    // failed: a derived manager that knows what of the run its files lost
    // says it here. Nothing by default.
    virtual std::string failure_note() { return std::string(); }
    // Why an open failed, for get_error().
    void set_error(const std::string& error);

public:
    // Closes a file the stdio default still holds; a derived manager closes
    // its own files in its destructor.
    virtual ~FileIOManager();

    // Keeps copies of the descriptors of the data streams of a run.
    virtual void register_data_stream(int n, FileIODescriptor* descriptors);
    virtual void set_header_func(BlockFunc f, void* data);
    virtual void reset_header_func();
    virtual void set_tail_func(BlockFunc f, void* data);
    virtual void reset_tail_func();

    const std::vector<FileIODescriptor>& get_data_streams() const { return _streams; }
    const std::string& get_extension() const { return _extension; }
    void set_extension(const std::string& ext) { _extension = ext; }
    bool get_compress() const { return _compress; }
    unsigned long get_max_size() const { return _max_size; }
    // The bytes after which a new file is started (0: no limit); before
    // the first open.
    void set_max_size(unsigned long bytes) { _max_size = bytes; }

    unsigned long size() const { return _size.load(); }    // bytes in the current file
    double relative_size() const;                          // size / max size (0 without limit)
    std::string get_file_name() const;
    int get_file_number() const { return _file_number.load(); }

private:
    int open_file(const std::string& name);
    int close_file();
    void call_block_func(BlockFunc f, void* data);
    // The stdio file after a failure: cut after the last whole write that
    // reached it.
    void keep_written_part();

    bool _compress;
    unsigned long _max_size;
    std::string _extension;
    std::vector<FileIODescriptor> _streams;
    BlockFunc _header = nullptr;
    void* _header_data = nullptr;
    BlockFunc _tail = nullptr;
    void* _tail_data = nullptr;

    std::FILE* _file = nullptr;
    mutable std::mutex _name_mutex;
    std::string _first_name;
    std::string _name;
    std::atomic<int> _file_number{0};
    std::atomic<unsigned long> _size{0};
    std::atomic<bool> _open{false};
    std::atomic<bool> _failed{false};
    std::string _error;                // under _name_mutex
    unsigned long _synced = 0;         // bytes of the stdio file known to be in it
    std::vector<unsigned long> _ends;  // where the writes since then end
    bool _in_block = false;   // writing a header or tail: no rollover
};

} // namespace Ostrel

#endif
