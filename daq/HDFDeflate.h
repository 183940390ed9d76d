// Deflate level 1 of the chunks of HDF5 run files, as the library's deflate
// filter stores them and reads them back: a zlib stream (a two-byte header,
// the deflate data and an Adler-32 trailer). The datasets keep their deflate
// filter at level 1; only the compressor that makes the streams is a faster
// one than the filter's own, at about the same size.
#ifndef BRISKO_DAQ_HDFDEFLATE_H
#define BRISKO_DAQ_HDFDEFLATE_H

#include <cstddef>

// The output buffer the library's deflate filter gives its compressor: a
// chunk whose stream does not fit is one the filter would not store
// compressed either.
size_t deflate_room(size_t bytes);

// Compresses `size` bytes at `data` into `out`, which has room for `room`
// bytes. The stream's size, or 0 when it does not fit or cannot be made.
// Any thread may call it: each thread has a compressor of its own.
size_t deflate_chunk(const void* data, size_t size, void* out, size_t room);

#endif
