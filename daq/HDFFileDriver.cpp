#include "daq/HDFFileDriver.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

std::string HDFWriteState::reason() const
{
    return error ? std::strerror(error) : std::string();
}

std::string HDFWriteState::open_reason() const
{
    return open_error ? std::strerror(open_error) : std::string();
}

namespace {

struct DriverInfo {
    HDFWriteState* state;
};

// A run file is written front to back and read later, by other programs:
// the pages it leaves in the system's cache only hold memory, and the pages
// it is written into next are then memory new to the system. In a virtual
// machine new memory is dear once the host's ready memory is used up (here
// 80 µs a page instead of 3 after a few GB), and every thread that touches
// new memory then stalls, the receiving ones too, until the run loses
// events. So each stretch of the file goes to the disk once the file has
// grown past it, and an earlier one, written out by then, leaves the cache,
// whose pages the next writes take again. The first stretch stays:
// the library rewrites its headers there at every flush.
constexpr haddr_t write_out_step = haddr_t{8} << 20;

struct DriverFile;

// Bytes the library wrote, on their way into the file: the writes that
// follow each other in the file share a block.
struct Pending {
    haddr_t addr = 0;
    size_t size = 0;
    size_t room = 0;
    std::unique_ptr<char[]> bytes;
};

// The system's work on a write (pages to find, fill and send to the disk,
// and to let go again behind) took a third of the run thread's time, which
// then took fewer events. A thread of the file's does it instead, in the
// library's order and in blocks of the writes that follow each other; the
// library's calls only copy the bytes. Whatever reads, truncates, flushes
// or closes the file first waits until every write before it is done, so
// the file holds the same bytes at the same points as with direct writes.
class WriteBehind {
public:
    static constexpr size_t BLOCK = size_t{1} << 20;
    static constexpr size_t MOST_PENDING = size_t{64} << 20;   // then the library's calls wait
    static constexpr auto PATIENCE = std::chrono::milliseconds(50);

    explicit WriteBehind(DriverFile* file);
    ~WriteBehind();
    void write(haddr_t addr, size_t size, const void* bytes);
    void drain();

private:
    void work();
    void hurry(std::unique_lock<std::mutex>& guard, size_t most);
    std::unique_ptr<char[]> block(size_t room);

    DriverFile* _file;
    std::mutex _lock;
    std::condition_variable _more;   // to the thread
    std::condition_variable _done;   // to the library's calls
    std::deque<Pending> _queue;
    std::vector<std::unique_ptr<char[]>> _spare;
    size_t _pending = 0;    // bytes queued or being written
    bool _asleep = false;
    bool _draining = false;
    bool _stop = false;
    std::thread _thread;
};

struct DriverFile {
    H5FD_t pub;   // first: the library sees the file as this
    int fd;
    haddr_t eoa;
    haddr_t eof;
    dev_t device;
    ino_t inode;
    HDFWriteState* state;
    // The writing side: the thread's while it runs.
    haddr_t written = 0;       // the furthest end written
    haddr_t sent = 0;          // the file up to here is on its way to the disk
    bool hints_taken = true;   // the system takes write_behind()'s hints
    std::atomic<int> error{0};   // of the first failed write, for the state
    std::unique_ptr<WriteBehind> behind;
    bool no_thread = false;    // the system gave none: the calls write
};

void settle(DriverFile* file);

DriverFile* file_of(H5FD_t* f)
{
    return reinterpret_cast<DriverFile*>(f);
}

const DriverFile* file_of(const H5FD_t* f)
{
    return reinterpret_cast<const DriverFile*>(f);
}

constexpr haddr_t max_address = (static_cast<haddr_t>(1) << (8 * sizeof(off_t) - 1)) - 1;

void* copy_info(const void* info)
{
    return new DriverInfo(*static_cast<const DriverInfo*>(info));
}

herr_t free_info(void* info)
{
    delete static_cast<DriverInfo*>(info);
    return 0;
}

void* get_info(H5FD_t* f)
{
    return new DriverInfo{file_of(f)->state};
}

H5FD_t* open_file(const char* name, unsigned flags, hid_t fapl, haddr_t maxaddr)
{
    const auto* info = static_cast<const DriverInfo*>(H5Pget_driver_info(fapl));
    HDFWriteState* state = info ? info->state : nullptr;
    if (!name || !*name || maxaddr == 0 || maxaddr == HADDR_UNDEF) {
        if (state)
            state->open_error = EINVAL;
        return nullptr;
    }
    int o = (flags & H5F_ACC_RDWR) ? O_RDWR : O_RDONLY;
    if (flags & H5F_ACC_TRUNC)
        o |= O_TRUNC;
    if (flags & H5F_ACC_CREAT)
        o |= O_CREAT;
    if (flags & H5F_ACC_EXCL)
        o |= O_EXCL;
    const int fd = ::open(name, o | O_CLOEXEC, 0666);
    struct stat st{};
    // The library tries to open a file it is to create first, to see if it
    // is open already: only the last attempt tells.
    if (fd < 0 || fstat(fd, &st) != 0) {
        if (state)
            state->open_error = errno;
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    if (state)
        state->open_error = 0;
    auto* file = new DriverFile{};
    file->fd = fd;
    file->eoa = 0;
    file->eof = static_cast<haddr_t>(st.st_size);
    file->device = st.st_dev;
    file->inode = st.st_ino;
    file->state = state;
    // What the file held before is not sent to the disk again.
    file->sent = file->eof / write_out_step * write_out_step;
    file->written = file->eof;
    return &file->pub;
}

herr_t close_file(H5FD_t* f)
{
    DriverFile* file = file_of(f);
    settle(file);
    file->behind.reset();
    // A close that fails can lose what the system still held back.
    if (::close(file->fd) != 0 && file->state && !file->state->failed())
        file->state->error = errno;
    delete file;
    return 0;
}

int compare(const H5FD_t* a, const H5FD_t* b)
{
    const DriverFile* x = file_of(a);
    const DriverFile* y = file_of(b);
    if (x->device != y->device)
        return x->device < y->device ? -1 : 1;
    if (x->inode != y->inode)
        return x->inode < y->inode ? -1 : 1;
    return 0;
}

// The default driver's features, so that space is laid out as in its files.
herr_t query(const H5FD_t*, unsigned long* flags)
{
    if (flags)
        *flags = H5FD_FEAT_AGGREGATE_METADATA | H5FD_FEAT_ACCUMULATE_METADATA | H5FD_FEAT_DATA_SIEVE |
                 H5FD_FEAT_AGGREGATE_SMALLDATA | H5FD_FEAT_POSIX_COMPAT_HANDLE | H5FD_FEAT_SUPPORTS_SWMR_IO |
                 H5FD_FEAT_DEFAULT_VFD_COMPATIBLE;
    return 0;
}

haddr_t get_eoa(const H5FD_t* f, H5FD_mem_t)
{
    return file_of(f)->eoa;
}

herr_t set_eoa(H5FD_t* f, H5FD_mem_t, haddr_t addr)
{
    file_of(f)->eoa = addr;
    return 0;
}

haddr_t get_eof(const H5FD_t* f, H5FD_mem_t)
{
    return file_of(f)->eof;
}

herr_t get_handle(H5FD_t* f, hid_t, void** handle)
{
    if (!handle)
        return -1;
    // Whoever takes the descriptor finds every write in the file.
    settle(file_of(f));
    *handle = &file_of(f)->fd;
    return 0;
}

// What the writing side's failure left for the library's side to see.
void take_error(DriverFile* file)
{
    const int e = file->error.load(std::memory_order_acquire);
    if (e && file->state && !file->state->failed())
        file->state->error = e;
}

// Every write made so far is in the file, or failed.
void settle(DriverFile* file)
{
    if (file->behind)
        file->behind->drain();
    take_error(file);
}

herr_t read(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, size_t size, void* buffer)
{
    DriverFile* file = file_of(f);
    settle(file);
    char* to = static_cast<char*>(buffer);
    while (size > 0) {
        const ssize_t n = ::pread(file->fd, to, size, static_cast<off_t>(addr));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            // Past the end of the file: what was never written reads as zeros.
            std::memset(to, 0, size);
            break;
        }
        to += n;
        addr += static_cast<haddr_t>(n);
        size -= static_cast<size_t>(n);
    }
    return 0;
}

void write_behind(DriverFile* file)
{
    while (file->hints_taken && file->written >= file->sent + write_out_step) {
        const off_t from = static_cast<off_t>(file->sent);
        const off_t step = static_cast<off_t>(write_out_step);
        if (::sync_file_range(file->fd, from, step, SYNC_FILE_RANGE_WRITE) != 0) {
            // A write that failed on its way to the disk is a write lost;
            // a system that does not take the hint just keeps its cache.
            if (errno == EIO || errno == ENOSPC || errno == EDQUOT) {
                int none = 0;
                file->error.compare_exchange_strong(none, errno, std::memory_order_release);
            }
            if (errno != EINTR)
                file->hints_taken = false;
            return;
        }
        // Two stretches behind, which had the time of a stretch's writes to
        // reach the disk; pages not written out yet simply stay.
        if (from >= 3 * step)
            ::posix_fadvise(file->fd, from - 2 * step, step, POSIX_FADV_DONTNEED);
        file->sent += write_out_step;
    }
}

// One write of the library's, on the writing side. After a failed one
// nothing more touches the file.
void write_out(DriverFile* file, haddr_t addr, size_t size, const char* from)
{
    if (file->error.load(std::memory_order_relaxed))
        return;
    const haddr_t end = addr + size;
    while (size > 0) {
        const ssize_t n = ::pwrite(file->fd, from, size, static_cast<off_t>(addr));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            file->error.store(n < 0 ? errno : EIO, std::memory_order_release);
            return;
        }
        from += n;
        addr += static_cast<haddr_t>(n);
        size -= static_cast<size_t>(n);
    }
    if (end > file->written)
        file->written = end;
    write_behind(file);
}

WriteBehind::WriteBehind(DriverFile* file) : _file(file)
{
    _thread = std::thread([this] { work(); });
}

WriteBehind::~WriteBehind()
{
    {
        std::lock_guard<std::mutex> guard(_lock);
        _stop = true;
    }
    _more.notify_one();
    _thread.join();
}

std::unique_ptr<char[]> WriteBehind::block(size_t room)
{
    if (room == BLOCK && !_spare.empty()) {
        std::unique_ptr<char[]> b = std::move(_spare.back());
        _spare.pop_back();
        return b;
    }
    return std::unique_ptr<char[]>(new char[room]);
}

void WriteBehind::write(haddr_t addr, size_t size, const void* bytes)
{
    std::unique_lock<std::mutex> guard(_lock);
    // The last block takes a write that follows it, while the thread has
    // not taken it yet.
    if (!_queue.empty()) {
        Pending& last = _queue.back();
        if (last.addr + last.size == addr && last.room - last.size >= size) {
            std::memcpy(last.bytes.get() + last.size, bytes, size);
            last.size += size;
            _pending += size;
            return;
        }
    }
    // The disk is behind: the library waits for what is queued.
    hurry(guard, size < MOST_PENDING ? MOST_PENDING - size : 0);
    const bool wake = !_queue.empty() && _asleep;   // a block is whole
    Pending p;
    p.addr = addr;
    p.size = size;
    p.room = std::max(size, BLOCK);
    p.bytes = block(p.room);
    std::memcpy(p.bytes.get(), bytes, size);
    _queue.push_back(std::move(p));
    _pending += size;
    guard.unlock();
    if (wake)
        _more.notify_one();
}

void WriteBehind::drain()
{
    std::unique_lock<std::mutex> guard(_lock);
    hurry(guard, 0);
}

// Until at most `most` bytes wait, the thread writes every block, the one
// still growing too.
void WriteBehind::hurry(std::unique_lock<std::mutex>& guard, size_t most)
{
    if (_pending <= most)
        return;
    _draining = true;
    _more.notify_one();
    _done.wait(guard, [this, most] { return _pending <= most; });
    _draining = false;
}

void WriteBehind::work()
{
    pthread_setname_np(pthread_self(), "HDFwriter");
    std::unique_lock<std::mutex> guard(_lock);
    for (;;) {
        // Whole blocks go at once; the last one, which may still grow,
        // when it is waited for or has waited long enough.
        _asleep = true;
        const bool in_time = _more.wait_for(guard, PATIENCE, [this] {
            return _stop || _queue.size() > 1 || (_draining && !_queue.empty());
        });
        _asleep = false;
        if (_queue.empty()) {
            if (_stop)
                return;
            continue;
        }
        const size_t take = (!in_time || _stop || _draining) ? _queue.size() : _queue.size() - 1;
        for (size_t i = 0; i < take; ++i) {
            Pending p = std::move(_queue.front());
            _queue.pop_front();
            guard.unlock();
            write_out(_file, p.addr, p.size, p.bytes.get());
            guard.lock();
            _pending -= p.size;
            if (p.room == BLOCK && _spare.size() < 4)
                _spare.push_back(std::move(p.bytes));
        }
        _done.notify_all();
    }
}

herr_t write(H5FD_t* f, H5FD_mem_t, hid_t, haddr_t addr, size_t size, const void* buffer)
{
    DriverFile* file = file_of(f);
    const haddr_t end = addr + size;
    take_error(file);
    if (!file->state || !file->state->failed()) {
        if (!file->behind && !file->no_thread) {
            try {
                file->behind = std::make_unique<WriteBehind>(file);
            } catch (const std::system_error&) {
                file->no_thread = true;
            }
        }
        // A large write is not copied, nor one there is no memory to copy:
        // it is made here, after those before it.
        bool queued = false;
        if (file->behind && size < WriteBehind::MOST_PENDING / 4) {
            try {
                file->behind->write(addr, size, buffer);
                queued = true;
            } catch (const std::bad_alloc&) {
            }
        }
        if (!queued) {
            settle(file);
            write_out(file, addr, size, static_cast<const char*>(buffer));
        }
        take_error(file);
    }
    // As the library expects, whether or not the bytes went out.
    if (end > file->eof)
        file->eof = end;
    return 0;
}

herr_t flush(H5FD_t* f, hid_t, hbool_t)
{
    settle(file_of(f));
    return 0;
}

herr_t truncate(H5FD_t* f, hid_t, hbool_t)
{
    DriverFile* file = file_of(f);
    settle(file);
    if (file->eoa != file->eof && (!file->state || !file->state->failed())) {
        if (::ftruncate(file->fd, static_cast<off_t>(file->eoa)) != 0 && file->state)
            file->state->error = errno;
    }
    file->eof = file->eoa;
    return 0;
}

std::mutex driver_lock;
hid_t driver_id = -1;

// The library lets its drivers go when it shuts down; the next file
// registers this one again.
herr_t forget_driver()
{
    driver_id = -1;
    return 0;
}

const H5FD_class_t driver_class = {
    "brisko-run-file",         // name
    max_address,               // maxaddr
    H5F_CLOSE_WEAK,            // fc_degree
    forget_driver,             // terminate
    nullptr,                   // sb_size
    nullptr,                   // sb_encode
    nullptr,                   // sb_decode
    sizeof(DriverInfo),        // fapl_size
    get_info,                  // fapl_get
    copy_info,                 // fapl_copy
    free_info,                 // fapl_free
    0,                         // dxpl_size
    nullptr,                   // dxpl_copy
    nullptr,                   // dxpl_free
    open_file,                 // open
    close_file,                // close
    compare,                   // cmp
    query,                     // query
    nullptr,                   // get_type_map
    nullptr,                   // alloc
    nullptr,                   // free
    get_eoa,                   // get_eoa
    set_eoa,                   // set_eoa
    get_eof,                   // get_eof
    get_handle,                // get_handle
    read,                      // read
    write,                     // write
    flush,                     // flush
    truncate,                  // truncate
    nullptr,                   // lock
    nullptr,                   // unlock
    H5FD_FLMAP_DICHOTOMY       // fl_map
};

} // namespace

hid_t hdf_file_access(HDFWriteState* state)
{
    hid_t id;
    {
        std::lock_guard<std::mutex> guard(driver_lock);
        if (driver_id < 0 || H5Iget_type(driver_id) != H5I_VFL)
            driver_id = H5FDregister(&driver_class);
        id = driver_id;
    }
    if (id < 0)
        return -1;
    const hid_t fapl = H5Pcreate(H5P_FILE_ACCESS);
    const DriverInfo info{state};
    if (fapl < 0 || H5Pset_driver(fapl, id, &info) < 0) {
        if (fapl >= 0)
            H5Pclose(fapl);
        return -1;
    }
    return fapl;
}
