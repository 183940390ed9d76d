#include "daq/HDFChunkWriter.h"

#include <cstddef>
#include <system_error>

#include <glib.h>
#include <pthread.h>
#include <unistd.h>

#include "daq/HDFDeflate.h"
#include "daq/HDFUtils.h"
#include "ostrel/Thread.h"

namespace {

// Chunks in flight, of every writer together: a burst of a few seconds at
// the rate one receiving thread takes, within a share of the memory.
constexpr size_t least_flight_bytes = 128u << 20;
constexpr size_t most_flight_bytes = 1u << 30;

// Compressing yields the processor to the threads that take the events in:
// a datagram the receiving thread is too late for is lost, while a chunk
// waits in memory and its rows wait in the event queue before it.
constexpr int worker_nice = 10;

} // namespace

// ---- pool --------------------------------------------------------------------

HDFChunkPool::HDFChunkPool(int threads)
{
    // Threads started here, as a forked child has none of its parent's.
    for (int i = 0; i < threads; ++i) {
        auto worker = std::make_unique<Worker>();
        try {
            worker->thread = std::thread([this, w = worker.get()] { work(*w); });
        } catch (const std::system_error&) {
            break;
        }
        workers.push_back(std::move(worker));
    }
}

HDFChunkPool::~HDFChunkPool()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        while (!idle.empty())
            wake_one()->wake.notify_one();
    }
    for (const auto& w : workers)
        w->thread.join();
}

bool HDFChunkPool::over_budget() const
{
    static const size_t budget = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGE_SIZE);
        const size_t memory = pages > 0 && page > 0 ? static_cast<size_t>(pages) * static_cast<size_t>(page) : 0;
        return std::clamp(memory / 16, least_flight_bytes, most_flight_bytes);
    }();
    return in_flight.load() > budget;
}

int HDFChunkPool::default_threads()
{
    // At a lower priority the workers take only what the other threads
    // leave, so there may be one for every processor but one.
    return static_cast<int>(g_get_num_processors()) - 1;
}

namespace {

HDFChunkPool* process_pool = nullptr;
std::mutex process_pool_lock;

// The threads stay behind in the parent: the child's pool would wait on
// them forever.
void forget_pool_in_child()
{
    process_pool = nullptr;
}

} // namespace

HDFChunkPool* HDFChunkPool::shared()
{
    static const int registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    (void)registered;
    std::lock_guard<std::mutex> guard(process_pool_lock);
    if (!process_pool)
        process_pool = new HDFChunkPool(default_threads());
    return process_pool;
}

bool HDFChunkPool::submit(HDFChunkJob* job)
{
    if (workers.empty())
        return false;
    Worker* woken = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stopping)
            return false;
        in_flight += job->raw.size();
        ++jobs;
        job->submitted = std::chrono::steady_clock::now();
        waiting.push_back(job);
        // A worker awake takes the next job when it is done with its own;
        // another is woken when a batch waits for each one awake.
        const size_t awake = workers.size() - idle.size();
        if (!idle.empty() && waiting.size() >= wake_batch * (awake + 1))
            woken = wake_one();
    }
    // Outside the lock, which the worker woken would otherwise wait for
    // at once. Workers live as long as the pool.
    if (woken)
        woken->wake.notify_one();
    return true;
}

bool HDFChunkPool::finished(const HDFChunkJob& job)
{
    Worker* woken = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (job.done)
            return true;
        // Jobs that come slowly never make a batch: the oldest has waited
        // long enough.
        if (!waiting.empty() && idle.size() == workers.size() &&
            std::chrono::steady_clock::now() - waiting.front()->submitted > batch_wait)
            woken = wake_one();
    }
    if (woken)
        woken->wake.notify_one();
    return false;
}

HDFChunkPool::Worker* HDFChunkPool::wake_one()
{
    Worker* w = idle.back();
    idle.pop_back();
    w->woken = true;
    return w;
}

void HDFChunkPool::take_back(const HDFChunkJob& job)
{
    {
        std::unique_lock<std::mutex> guard(lock);
        // The writer waits: every job before this one, and this, gets a
        // worker, rather than the batch's one, which the threads taking
        // the events in may keep from its processor.
        if (!job.done && !waiting.empty() && !idle.empty()) {
            std::vector<Worker*> woken;
            while (!idle.empty() && woken.size() < waiting.size())
                woken.push_back(wake_one());
            guard.unlock();
            for (Worker* w : woken)
                w->wake.notify_one();
            guard.lock();
        }
        done.wait(guard, [&job] { return job.done; });
    }
    in_flight -= job.raw.size();
    --jobs;
}

bool HDFChunkPool::backlogged() const
{
    return jobs.load() > workers.size() + wake_batch;
}

void HDFChunkPool::compress(HDFChunkJob& job)
{
    job.made_codes = false;
    job.packed.resize(deflate_room(job.raw.size()));
    const auto with = [&job] {
        job.packed_size =
            deflate_chunk(job.raw.data(), job.raw.size(), job.packed.data(), job.packed.size(), job.codes.get());
    };
    const auto make_codes = [&job] {
        job.codes = deflate_codes(job.raw.data(), job.raw.size());
        job.made_codes = job.codes != nullptr;
    };
    if (job.sample)
        make_codes();
    with();
    // A tenth larger or half as large as the sample's: the rows are no
    // longer like the sample's, and their own codes serve better.
    const size_t like = job.sample_packed;
    const bool unlike = job.packed_size == 0 || job.packed_size > like + like / 10 || job.packed_size < like / 2;
    if (job.codes && !job.made_codes && unlike) {
        make_codes();
        with();
    }
    // Codes made from a histogram fit small chunks badly; level 1 makes
    // its own for the matches it finds.
    if (job.codes && (job.packed_size == 0 || job.packed_size >= job.raw.size())) {
        job.codes.reset();
        job.made_codes = false;
        with();
    }
}

void HDFChunkPool::work(Worker& self)
{
    pthread_setname_np(pthread_self(), "HDFdeflate");
    Ostrel::set_thread_nice(worker_nice);
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        while (waiting.empty()) {
            if (stopping)
                return;
            self.woken = false;
            idle.push_back(&self);
            self.wake.wait(guard, [&self] { return self.woken; });
        }
        HDFChunkJob& job = *waiting.front();
        waiting.pop_front();
        guard.unlock();
        compress(job);
        job.compressed = job.packed_size > 0;
        guard.lock();
        // Notified under the lock: once the writer sees the job done, the
        // worker no longer touches the job.
        job.done = true;
        done.notify_all();
    }
}

// ---- writer ------------------------------------------------------------------

HDFChunkWriter::HDFChunkWriter(hid_t dataset, int ncols, size_t row_bytes, HDFChunkPool* pool)
    : dataset(dataset),
      ncols(ncols),
      row_bytes(row_bytes),
      chunk_bytes(chunk_rows * row_bytes),
      pool(pool && pool->available() ? pool : nullptr)
{
    current.resize(chunk_bytes);
}

HDFChunkWriter::~HDFChunkWriter()
{
    // The workers still hold these jobs.
    for (const auto& job : flight)
        pool->take_back(*job);
}

void HDFChunkWriter::append(const void* rows, size_t n)
{
    const char* from = static_cast<const char*>(rows);
    append_with(n, [from, this](char* to, size_t first, size_t k) {
        std::copy_n(from + first * row_bytes, k * row_bytes, to);
    });
}

std::unique_ptr<HDFChunkJob> HDFChunkWriter::new_job()
{
    if (spare.empty())
        return std::make_unique<HDFChunkJob>();
    std::unique_ptr<HDFChunkJob> job = std::move(spare.back());
    spare.pop_back();
    return job;
}

void HDFChunkWriter::chunk_full()
{
    std::unique_ptr<HDFChunkJob> job = new_job();
    job->raw.swap(current);
    current.resize(chunk_bytes);
    job->first_row = start;
    job->compressed = false;
    job->done = false;
    start += static_cast<long>(chunk_rows);
    count = 0;
    left_behind = 0;
    stored_raw = false;

    if (pool) {
        choose_codes(*job);
        if (pool->submit(job.get())) {
            flight.push_back(std::move(job));
            write_ready();
            while (!flight.empty() && may_write(*flight.front()) && pool->over_budget())
                write_oldest();
            return;
        }
        // No worker: the chunks before it go first.
        if (job->sample)
            sampling = false;
        write_flight();
    }
    write_plain(*job);
    spare.push_back(std::move(job));
}

void HDFChunkWriter::choose_codes(HDFChunkJob& job)
{
    job.sample = !sampling && (!codes || since_sample >= codes_kept);
    job.codes = job.sample ? nullptr : codes;
    job.sample_packed = sample_packed;
    sampling = sampling || job.sample;
    ++since_sample;
}

void HDFChunkWriter::learn_codes(const HDFChunkJob& job)
{
    if (job.sample)
        sampling = false;
    // Rows that do not compress leave the codes as they were.
    if (job.made_codes && job.compressed) {
        codes = job.codes;
        sample_packed = job.packed_size;
        since_sample = 0;
    }
}

void HDFChunkWriter::write_ready()
{
    while (!flight.empty() && may_write(*flight.front()) && pool->finished(*flight.front()))
        write_oldest();
}

bool HDFChunkWriter::may_write(const HDFChunkJob& job) const
{
    return !leader || job.first_row + static_cast<long>(chunk_rows) <= leader->in_file;
}

void HDFChunkWriter::write_partial_now(bool last)
{
    if (write_partial(last))
        in_file = start + static_cast<long>(count);
    else
        refused = true;
}

void HDFChunkWriter::write_oldest()
{
    std::unique_ptr<HDFChunkJob> job = std::move(flight.front());
    flight.pop_front();
    pool->take_back(*job);
    learn_codes(*job);
    write_chunk(*job);
    spare.push_back(std::move(job));
}

void HDFChunkWriter::write_flight()
{
    while (!flight.empty())
        write_oldest();
}

void HDFChunkWriter::write_chunk(HDFChunkJob& job)
{
    if (!job.compressed) {
        write_plain(job);
        return;
    }
    const hsize_t cols = ncols > 1 ? static_cast<hsize_t>(ncols) : 1;
    const long end = job.first_row + static_cast<long>(chunk_rows);
    const hsize_t extent[2] = {static_cast<hsize_t>(end), cols};
    const hsize_t offset[2] = {static_cast<hsize_t>(job.first_row), 0};
    // The chunk must lie within the extent before it is written.
    if (H5Dset_extent(dataset, extent) < 0) {
        refused = true;
        return;
    }
    in_file = end;
    if (H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, offset, job.packed_size, job.packed.data()) < 0)
        write_plain(job);
}

void HDFChunkWriter::write_plain(const HDFChunkJob& job)
{
    const long n = static_cast<long>(job.raw.size() / row_bytes);
    if (append_data(dataset, job.first_row, ncols, job.raw.data(), n) < 0) {
        refused = true;
        return;
    }
    in_file = job.first_row + n;
}

int HDFChunkWriter::flush(FlushRows what)
{
    // Without a backlog the chunks in flight are being compressed now: a
    // wait of about one chunk's compression, and the file holds every row
    // the run has taken, as its run record says.
    // A follower flushes as its leader did a moment before (the leader
    // flushes first): the backlog may end between the two, and a follower
    // that looked for itself would then write rows its leader had not.
    if (what == FlushRows::ready && (leader ? leader->flushed_as != FlushRows::ready : pool && !pool->backlogged()))
        what = FlushRows::all;
    flushed_as = what;
    if (what == FlushRows::ready) {
        write_ready_rows();
    } else {
        const bool last = what == FlushRows::last;
        write_flight();
        const long end = start + static_cast<long>(count);
        if (count > 0 && (end > in_file || (last && stored_raw)))
            write_partial_now(last);
    }
    const bool failed = refused;
    refused = false;
    return failed ? -1 : 0;
}

void HDFChunkWriter::write_ready_rows()
{
    if (leader) {
        // Behind its leader a follower has few chunks, and small ones.
        while (!flight.empty() && may_write(*flight.front()))
            write_oldest();
    } else {
        write_ready();
    }
    const long end = start + static_cast<long>(count);
    if (flight.empty() && count > 0 && end > in_file && (!leader || end <= leader->in_file))
        write_partial_now(false);
}

// The chunk being filled, whole: its rows, then zeros, as the library's
// filter stores a chunk it was given part of.
bool HDFChunkWriter::write_partial(bool last)
{
    const long end = start + static_cast<long>(count);
    std::fill(current.begin() + static_cast<std::ptrdiff_t>(count * row_bytes), current.end(), 0);
    const hsize_t cols = ncols > 1 ? static_cast<hsize_t>(ncols) : 1;
    const hsize_t extent[2] = {static_cast<hsize_t>(end), cols};
    const hsize_t offset[2] = {static_cast<hsize_t>(start), 0};
    if (H5Dset_extent(dataset, extent) < 0)
        return false;
    if (!stored_raw || last) {
        packed.resize(deflate_room(chunk_bytes));
        const size_t size = deflate_chunk(current.data(), chunk_bytes, packed.data(), packed.size());
        if (size > 0 && (last || left_behind + size <= chunk_bytes)) {
            left_behind += size;
            stored_raw = false;
            return H5Dwrite_chunk(dataset, H5P_DEFAULT, 0, offset, size, packed.data()) >= 0;
        }
    }
    // Bit 0 of the filter mask: the pipeline's one filter, deflate, skipped.
    stored_raw = true;
    return H5Dwrite_chunk(dataset, H5P_DEFAULT, 1u, offset, chunk_bytes, current.data()) >= 0;
}
