#include "daq/HDFDeflate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <isa-l/igzip_lib.h>

namespace {

// A thread's compressor: the stream state and the level's work buffer are
// the library's per-call memory, which no two threads may share. On the
// heap, as the stream state alone is some 80 kB.
struct Deflater {
    isal_zstream stream;
    std::vector<uint8_t> level_buf = std::vector<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
};

Deflater& this_thread_deflater()
{
    thread_local std::unique_ptr<Deflater> deflater = std::make_unique<Deflater>();
    return *deflater;
}

} // namespace

class DeflateCodes {
public:
    isal_hufftables tables;
};

std::shared_ptr<const DeflateCodes> deflate_codes(const void* data, size_t size)
{
    if (!data || size == 0 || size > static_cast<size_t>(std::numeric_limits<int>::max()))
        return nullptr;
    isal_huff_histogram histogram{};
    isal_update_histogram(static_cast<uint8_t*>(const_cast<void*>(data)), static_cast<int>(size), &histogram);
    auto codes = std::make_shared<DeflateCodes>();
    if (isal_create_hufftables(&codes->tables, &histogram) != 0)
        return nullptr;
    return codes;
}

size_t deflate_room(size_t bytes)
{
    return static_cast<size_t>(std::ceil(static_cast<double>(bytes) * 1.001) + 12.0);
}

size_t deflate_chunk(const void* data, size_t size, void* out, size_t room, const DeflateCodes* codes)
{
    constexpr size_t most = std::numeric_limits<uint32_t>::max();
    if (!data || !out || size > most)
        return 0;
    Deflater& d = this_thread_deflater();
    isal_zstream& s = d.stream;
    isal_deflate_stateless_init(&s);
    if (codes) {
        // The library only reads the tables, as it does its own default ones.
        s.level = 0;
        s.hufftables = const_cast<isal_hufftables*>(&codes->tables);
    } else {
        s.level = 1;
        s.level_buf = d.level_buf.data();
        s.level_buf_size = static_cast<uint32_t>(d.level_buf.size());
    }
    s.gzip_flag = IGZIP_ZLIB;
    s.flush = NO_FLUSH;
    s.end_of_stream = 1;
    s.next_in = static_cast<uint8_t*>(const_cast<void*>(data));
    s.avail_in = static_cast<uint32_t>(size);
    s.next_out = static_cast<uint8_t*>(out);
    s.avail_out = static_cast<uint32_t>(std::min(room, most));
    if (isal_deflate_stateless(&s) != COMP_OK)
        return 0;
    return s.total_out;
}
