// Deflate level 1 of the chunks of HDF5 run files, as the library's deflate
// filter stores them and reads them back: a zlib stream (a two-byte header,
// the deflate data and an Adler-32 trailer). The datasets keep their deflate
// filter at level 1; only the compressor that makes the streams is a faster
// one than the filter's own, at about the same size.
#ifndef BRISKO_DAQ_HDFDEFLATE_H
#define BRISKO_DAQ_HDFDEFLATE_H

#include <cstddef>
#include <memory>

// The output buffer the library's deflate filter gives its compressor: a
// chunk whose stream does not fit is one the filter would not store
// compressed either.
size_t deflate_room(size_t bytes);

// Huffman codes made from the bytes of one chunk, for the chunks of the
// same dataset after it. Level 1 makes codes for every chunk in a second
// pass over it; with codes made before, a chunk is compressed in one pass,
// to about the same size while its rows look like the sample's. Every byte
// value and every match has a code, so any rows can be compressed with
// them. Never changed once made: any number of threads may use them.
class DeflateCodes;
std::shared_ptr<const DeflateCodes> deflate_codes(const void* data, size_t size);

// Compresses `size` bytes at `data` into `out`, which has room for `room`
// bytes, at level 1, or with `codes`. The stream's size, or 0 when it does
// not fit or cannot be made. Any thread may call it: each thread has a
// compressor of its own.
size_t deflate_chunk(const void* data, size_t size, void* out, size_t room, const DeflateCodes* codes = nullptr);

#endif
