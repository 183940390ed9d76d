// Reference-counted blocks of event data.
#ifndef OSTREL_MODULEDATA_H
#define OSTREL_MODULEDATA_H

#include <atomic>
#include <cstddef>

namespace Ostrel {

// A block of bytes with a reference count. Ownership convention of the
// framework:
//  - new_block() gives a block holding one reference, its creator's;
//  - DataQueue::push_event() takes a reference of its own;
//  - DataQueue::get_event() hands the queue's reference to the caller;
//  - Module::getData() hands exactly one reference to the run loop, which
//    releases it after the run manager and the monitor queue had the block.
// The block is freed when dec_ref() drops the last reference.
//
// Blocks are made on one thread and freed on another, one per event. Small
// blocks therefore come from free lists of their size that any thread
// returns them to and the making thread takes back whole, instead of from
// the allocator, whose lock the two threads would fight over.
class ModuleData {
public:
    // A block of `size` bytes. With `src` and no parent the bytes are copied
    // from src (zero-filled without src). With a parent the block is a view
    // of `size` bytes at `src` inside the parent's memory and holds a
    // reference on the parent until it is freed.
    static ModuleData* new_block(size_t size, const char* src = nullptr, ModuleData* parent = nullptr);

    char* data() const { return _start + _offset; }
    size_t size() const { return _end - _offset; }
    // Moves the start of data() and size() by `offset` bytes into the block.
    void set_offset(size_t offset);
    size_t get_offset() const { return _offset; }

    void inc_ref() { _refs.fetch_add(1, std::memory_order_relaxed); }
    // Releases one reference; frees the block when none is left. Returns
    // the references left.
    int dec_ref();
    int ref_count() const { return _refs.load(); }

private:
    ModuleData() = default;
    ~ModuleData();
    ModuleData(const ModuleData&) = delete;
    ModuleData& operator=(const ModuleData&) = delete;

    char* _start = nullptr;
    size_t _offset = 0;
    size_t _end = 0;
    ModuleData* _parent = nullptr;
    std::atomic<int> _refs{1};
    unsigned char _size_class = 0;   // its free list; 0: the allocator's
};

} // namespace Ostrel

#endif
