// Deflate level 1 of HDF5 run-file chunks on one processor: the run files'
// own compressor (deflate_chunk, at level 1 and with the codes of an earlier
// chunk as the run files use it) beside zlib's compress2 and, where it is
// installed, libdeflate, on the same chunks, in one run. A chunk is 256 rows
// of a "gp7" stream's serial-mode row (282 bytes: temperature, run time,
// board time, event counter, channel count, mode, 128 16-bit channels), its
// channels as a detector at rest gives them: pedestals around 500 with a
// Gaussian noise of a few counts. Every stream is checked to inflate back.
//
//     bench_deflate [noise counts (3)] [chunks (400)]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include <zlib.h>
#ifdef BENCH_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "daq/HDFDeflate.h"

namespace {

constexpr size_t rows = 256;
constexpr size_t row_bytes = 282;
constexpr size_t channels = 128;
using Chunk = std::vector<unsigned char>;
using Compress = std::function<size_t(const Chunk&, Chunk&)>;

std::vector<Chunk> detector_chunks(size_t n, double noise_counts)
{
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, noise_counts);
    std::vector<double> pedestal(channels);
    for (double& p : pedestal)
        p = 470 + static_cast<double>(random() % 61);
    std::vector<Chunk> chunks(n, Chunk(rows * row_bytes));
    uint32_t event = 0;
    for (Chunk& c : chunks) {
        for (size_t r = 0; r < rows; ++r, ++event) {
            unsigned char* row = c.data() + r * row_bytes;
            const double temp = 31.25;
            const double daq_time = 500.0 * event + static_cast<double>(random() % 50);
            const uint32_t board_time = 40 * event;
            const uint16_t head[3] = {static_cast<uint16_t>(event), channels, 1};
            std::memcpy(row, &temp, 8);
            std::memcpy(row + 8, &daq_time, 8);
            std::memcpy(row + 16, &board_time, 4);
            std::memcpy(row + 20, head, 6);
            for (size_t k = 0; k < channels; ++k) {
                const auto v = static_cast<uint16_t>(std::lround(pedestal[k] + noise(random)));
                std::memcpy(row + 26 + 2 * k, &v, 2);
            }
        }
    }
    return chunks;
}

void measure(const char* name, const std::vector<Chunk>& chunks, const Compress& compress)
{
    Chunk out(deflate_room(rows * row_bytes));
    Chunk back(rows * row_bytes);
    for (size_t i = 0; i < std::min<size_t>(20, chunks.size()); ++i)
        compress(chunks[i], out);
    double best = 1e300;
    size_t total = 0;
    for (int repeat = 0; repeat < 5; ++repeat) {
        total = 0;
        const auto t0 = std::chrono::steady_clock::now();
        for (const Chunk& c : chunks)
            total += compress(c, out);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    bool good = true;
    for (const Chunk& c : chunks) {
        const size_t n = compress(c, out);
        uLongf size = static_cast<uLongf>(back.size());
        good = good && n > 0 && uncompress(back.data(), &size, out.data(), n) == Z_OK && size == back.size() &&
               back == c;
    }
    const double raw = static_cast<double>(chunks.size() * rows * row_bytes);
    std::printf("%-26s %8.1f MB/s %10.0f bytes a chunk (%.3f of raw)%s\n", name, raw / best / 1e6,
                static_cast<double>(total) / static_cast<double>(chunks.size()), static_cast<double>(total) / raw,
                good ? "" : "  STREAMS DO NOT INFLATE BACK");
}

} // namespace

int main(int argc, char** argv)
{
    const double noise = argc > 1 ? std::atof(argv[1]) : 3.0;
    const size_t n = argc > 2 ? static_cast<size_t>(std::max(1, std::atoi(argv[2]))) : 400;
    const std::vector<Chunk> chunks = detector_chunks(n, noise);
    std::printf("%zu chunks of %zu rows of %zu bytes, noise %.1f counts\n", n, rows, row_bytes, noise);

    measure("zlib compress2 1", chunks, [](const Chunk& c, Chunk& out) {
        uLongf size = static_cast<uLongf>(out.size());
        return compress2(out.data(), &size, c.data(), static_cast<uLong>(c.size()), 1) == Z_OK ? size_t{size} : 0;
    });
#ifdef BENCH_LIBDEFLATE
    libdeflate_compressor* ld = libdeflate_alloc_compressor(1);
    measure("libdeflate 1", chunks, [ld](const Chunk& c, Chunk& out) {
        return libdeflate_zlib_compress(ld, c.data(), c.size(), out.data(), out.size());
    });
    libdeflate_free_compressor(ld);
#endif
    measure("level 1 (deflate_chunk)", chunks, [](const Chunk& c, Chunk& out) {
        return deflate_chunk(c.data(), c.size(), out.data(), out.size());
    });
    // As the run files' workers do: codes made from the first chunk.
    const auto codes = deflate_codes(chunks[0].data(), chunks[0].size());
    measure("run files (earlier codes)", chunks, [&codes](const Chunk& c, Chunk& out) {
        return deflate_chunk(c.data(), c.size(), out.data(), out.size(), codes.get());
    });
    return 0;
}
