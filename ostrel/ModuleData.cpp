#include "ostrel/ModuleData.h"

#include <cstddef>
#include <cstring>
#include <new>

namespace Ostrel {

namespace {

// The block's bytes follow the block itself, aligned for any type: one
// allocation per block, which matters at one block per event.
constexpr size_t head_size()
{
    return (sizeof(ModuleData) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
           alignof(std::max_align_t);
}

} // namespace

ModuleData* ModuleData::new_block(size_t size, const char* src, ModuleData* parent)
{
    const size_t bytes = parent ? 0 : (size ? size : 1);
    void* memory = ::operator new(head_size() + bytes);
    ModuleData* d = new (memory) ModuleData();
    if (parent) {
        parent->inc_ref();
        d->_parent = parent;
        d->_start = const_cast<char*>(src ? src : parent->data());
    } else {
        d->_start = static_cast<char*>(memory) + head_size();
        if (src)
            std::memcpy(d->_start, src, size);
        else
            std::memset(d->_start, 0, size);
    }
    d->_end = size;
    return d;
}

ModuleData::~ModuleData()
{
    if (_parent)
        _parent->dec_ref();
}

void ModuleData::set_offset(size_t offset)
{
    _offset = offset > _end ? _end : offset;
}

int ModuleData::dec_ref()
{
    const int left = _refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        this->~ModuleData();
        ::operator delete(static_cast<void*>(this));
    }
    return left;
}

} // namespace Ostrel
