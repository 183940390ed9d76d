#include "ostrel/ModuleData.h"

#include <cstring>

namespace Ostrel {

ModuleData* ModuleData::new_block(size_t size, const char* src, ModuleData* parent)
{
    ModuleData* d = new ModuleData();
    if (parent) {
        parent->inc_ref();
        d->_parent = parent;
        d->_start = const_cast<char*>(src ? src : parent->data());
        d->_owns = false;
    } else {
        d->_start = new char[size ? size : 1];
        d->_owns = true;
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
    if (_owns)
        delete[] _start;
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
    if (left == 0)
        delete this;
    return left;
}

} // namespace Ostrel
