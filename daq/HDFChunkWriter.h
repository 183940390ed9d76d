// Appending rows to a dataset made by create_array, a chunk at a time. A
// chunk of 256 rows that is full is compressed on a worker thread into the
// deflate stream the library's filter stores (HDFDeflate.h), and written as
// it is stored (a direct chunk write) by the thread that appends, in row
// order. The rows
// of the chunk that is not yet full stay in memory: a flush writes that
// chunk as it stands, and the rows stay until the chunk is full, when the
// whole chunk is written again.
//
// A chunk flushed again and again (rows that come slowly, a flush every
// second) leaves a copy behind at every flush, as the file's space is not
// reused. Once its copies add up to the chunk's uncompressed size, further
// flushes store it uncompressed (the chunk's filter skipped), at the same
// size each time, which the library writes over itself; the last flush
// stores it compressed again. Readers see the same rows either way.
//
// The library is not thread-safe: the workers only compress memory buffers,
// and every HDF5 call happens in the appending thread. Without a worker, or
// when a chunk does not compress, the chunk goes through H5Dwrite, so the
// file holds the same rows either way.
#ifndef BRISKO_DAQ_HDFCHUNKWRITER_H
#define BRISKO_DAQ_HDFCHUNKWRITER_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <hdf5.h>

#include "daq/HDFDeflate.h"

// What a flush writes: only the rows that need no worker to finish
// (`ready`), every row appended (`all`), or every row as the file is to keep
// them (`last`).
enum class FlushRows { ready, all, last };

// One full chunk on its way to the file.
struct HDFChunkJob {
    std::vector<char> raw;              // the chunk's rows
    std::vector<unsigned char> packed;  // the compressed chunk
    size_t packed_size = 0;
    long first_row = 0;
    bool compressed = false;
    bool done = false;                  // under the pool's lock
    std::chrono::steady_clock::time_point submitted;  // under the pool's lock
    // The codes to compress with (level 1 without). A sample's are made
    // from its own rows, and so are those of a chunk whose stream with the
    // codes it was given is far from the size of the sample's
    // (`sample_packed`): its rows are no longer like the sample's.
    std::shared_ptr<const DeflateCodes> codes;
    bool sample = false;
    size_t sample_packed = 0;
    bool made_codes = false;            // `codes` are this chunk's own
};

// Worker threads that compress chunks. A wake-up costs more than a small
// chunk's compression, and a worker that sleeps between chunks finds its
// caches cold, so jobs wait for a worker until a batch of them is waiting
// for each worker awake (`wake_batch`), the oldest has waited `batch_wait`
// when its writer looks, or its writer waits for it. The one woken is the
// one idle the shortest time, whose memory is still in its processor's
// cache: at a steady rate one worker takes the batches, and the others
// wake as a backlog grows.
class HDFChunkPool {
public:
    // No workers when `threads` < 1 or the threads cannot be made.
    explicit HDFChunkPool(int threads);
    HDFChunkPool(const HDFChunkPool&) = delete;
    HDFChunkPool& operator=(const HDFChunkPool&) = delete;
    // Lets every job handed out finish first.
    ~HDFChunkPool();

    // One thread for every processor but one, at a lower priority.
    static int default_threads();
    // The process's pool of default_threads(), made at first use and kept.
    // A child process makes its own.
    static HDFChunkPool* shared();

    bool available() const { return !workers.empty(); }
    // Hands the job to a worker; false when none takes it (the job is then
    // the caller's again).
    bool submit(HDFChunkJob* job);
    // Done; a job not done may wake a worker for the batch it waits in.
    bool finished(const HDFChunkJob& job);
    // Waits for a job submitted and makes it the caller's again.
    void take_back(const HDFChunkJob& job);
    // The chunks of every writer submitted and not taken back are more
    // than a burst should keep in memory: a sixteenth of it, between
    // 128 MB and 1 GB.
    bool over_budget() const;
    // More chunks in flight than the workers and a batch: some wait for a
    // worker, and waiting for them all would hold the caller up for a
    // burst's worth.
    bool backlogged() const;

private:
    struct Worker {
        std::thread thread;
        std::condition_variable wake;
        bool woken = false;   // under the lock
    };
    void work(Worker& self);
    static void compress(HDFChunkJob& job);
    // Under the lock, with an idle worker; to be notified outside it.
    Worker* wake_one();
    static constexpr size_t wake_batch = 8;
    static constexpr std::chrono::milliseconds batch_wait{20};

    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<Worker*> idle;            // the last to go idle at the back
    std::deque<HDFChunkJob*> waiting;     // jobs no worker has taken yet
    bool stopping = false;
    std::atomic<size_t> in_flight{0};     // bytes of the chunks in flight
    std::atomic<size_t> jobs{0};          // and their number
    std::mutex lock;
    std::condition_variable done;
};

class HDFChunkWriter {
public:
    static constexpr size_t chunk_rows = 256;

    // `dataset` (not owned) has `ncols` columns and rows of `row_bytes`
    // bytes and holds no rows yet. Without a pool, or one without workers,
    // full chunks are written through H5Dwrite.
    HDFChunkWriter(hid_t dataset, int ncols, size_t row_bytes, HDFChunkPool* pool);
    HDFChunkWriter(const HDFChunkWriter&) = delete;
    HDFChunkWriter& operator=(const HDFChunkWriter&) = delete;
    // Waits for the chunks in flight, which are not written: a writer that
    // is to leave its rows in the file is flushed first.
    ~HDFChunkWriter();

    // Appends `n` rows of `row_bytes`, contiguous at `rows`.
    void append(const void* rows, size_t n);
    // Appends `n` rows that `fill(dest, first, count)` lays out at `dest`:
    // the rows first .. first + count - 1 of the `n`.
    template <class Fill>
    void append_with(size_t n, Fill&& fill)
    {
        size_t done = 0;
        while (done < n) {
            const size_t k = std::min(n - done, chunk_rows - count);
            fill(current.data() + count * row_bytes, done, k);
            count += k;
            done += k;
            if (count == chunk_rows)
                chunk_full();
        }
    }

    // Writes every row appended: the chunks in flight, then the rows of the
    // chunk not yet full; with FlushRows::last, as the file is to keep them.
    // With FlushRows::ready, as FlushRows::all unless the pool is
    // backlogged, and then without waiting for the workers: the chunks
    // compressed so far, in order, and the chunk being filled once nothing
    // is in flight; a follower then waits for its own chunks up to the rows
    // its leader has in the file, and writes none beyond them. 0, or -1
    // when the file refused rows since the last flush.
    int flush(FlushRows what = FlushRows::all);
    // The datasets of one table (a split stream's, the event times) stay of
    // one length in the file: a follower writes no row before `leader`
    // (not owned, appended to on the same thread, in step, and flushed just
    // before it) has.
    void follow(const HDFChunkWriter* leader) { this->leader = leader; }

    // Rows appended, and of them those the dataset's extent holds (all of
    // them after a flush, but for the chunks a FlushRows::ready flush left
    // to the workers).
    long rows() const { return start + static_cast<long>(count); }
    long rows_in_file() const { return in_file; }

private:
    void chunk_full();
    void write_ready();
    bool may_write(const HDFChunkJob& job) const;
    void write_partial_now(bool last);
    void write_oldest();
    void write_flight();
    void write_ready_rows();
    void write_chunk(HDFChunkJob& job);
    void write_plain(const HDFChunkJob& job);
    bool write_partial(bool last);
    std::unique_ptr<HDFChunkJob> new_job();
    void choose_codes(HDFChunkJob& job);
    void learn_codes(const HDFChunkJob& job);

    hid_t dataset;
    int ncols;
    size_t row_bytes;
    size_t chunk_bytes;
    HDFChunkPool* pool;
    const HDFChunkWriter* leader = nullptr;
    long start = 0;       // first row of the chunk being filled
    size_t count = 0;     // its rows
    long in_file = 0;     // rows the dataset's extent holds
    bool refused = false;
    FlushRows flushed_as = FlushRows::all;   // what the last flush wrote
    size_t left_behind = 0;     // bytes of the copies of the chunk being filled
    bool stored_raw = false;    // that chunk is in the file uncompressed
    std::vector<char> current;
    std::vector<unsigned char> packed;   // the chunk being filled, compressed
    // Codes made from a sample chunk, kept for `codes_kept` chunks, or
    // until a chunk's rows are unlike the sample's.
    static constexpr size_t codes_kept = 256;
    std::shared_ptr<const DeflateCodes> codes;
    size_t sample_packed = 0;   // the sample's stream with its codes
    size_t since_sample = 0;    // chunks given them since
    bool sampling = false;      // a sample in flight
    std::deque<std::unique_ptr<HDFChunkJob>> flight;
    std::vector<std::unique_ptr<HDFChunkJob>> spare;
};

#endif
