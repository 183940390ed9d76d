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

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer sees every block come and go.
constexpr bool use_pool = false;
#else
constexpr bool use_pool = true;
#endif

// Free lists by size, in steps of 64 bytes up to 4 KB; larger blocks come
// from the allocator. A list is pushed onto one block at a time by any
// thread and taken whole by the thread that makes blocks, so that no block
// is ever taken off it alone (which could not be done safely without a lock).
constexpr size_t class_step = 64;
constexpr size_t class_count = 64;
// Blocks a list keeps at most, about 256 MB of each size (what a full event
// queue holds); the rest go back to the allocator. A block given back while
// a backlog drains is made again from memory new to the process when the
// next one builds up, at the price of a page fault and its clearing per few
// blocks, in the thread that can least afford it.
constexpr long class_bytes = 256L << 20;

struct FreeBlock {
    FreeBlock* next;
};

struct FreeList {
    std::atomic<FreeBlock*> head{nullptr};
    std::atomic<long> count{0};
};

FreeList* free_lists()
{
    // Never destroyed: blocks may be freed while the process ends.
    static FreeList* lists = new FreeList[class_count + 1];
    return lists;
}

// The blocks a thread has taken and not yet handed out, by size. Plain data,
// so that it can be used at any time in the thread's life; the flush hands
// what is left back when the thread ends.
thread_local FreeBlock* t_lists[class_count + 1];

void give_back(void* memory, size_t size_class);

struct CacheFlush {
    ~CacheFlush()
    {
        for (size_t c = 1; c <= class_count; ++c) {
            while (FreeBlock* b = t_lists[c]) {
                t_lists[c] = b->next;
                free_lists()[c].count.fetch_sub(1, std::memory_order_relaxed);
                give_back(b, c);
            }
        }
    }
};
thread_local CacheFlush t_flush;

// Asks for the line in this core's cache, owned, ready to be written.
inline void prefetch_for_writing(const char* p)
{
#if defined(__x86_64__)
    // Executed as a no-operation by processors that lack it.
    asm volatile("prefetchw %0" : : "m"(*p));
#else
    __builtin_prefetch(p, 1);
#endif
}

size_t class_of(size_t bytes)
{
    const size_t c = (bytes + class_step - 1) / class_step;
    return use_pool && c <= class_count ? c : 0;
}

void* take(size_t size_class, size_t bytes)
{
    if (!size_class)
        return ::operator new(bytes);
    FreeBlock*& mine = t_lists[size_class];
    if (!mine) {
        static_cast<void>(&t_flush);   // made, and flushed at the thread's end
        mine = free_lists()[size_class].head.exchange(nullptr, std::memory_order_acquire);
    }
    if (FreeBlock* b = mine) {
        mine = b->next;
        free_lists()[size_class].count.fetch_sub(1, std::memory_order_relaxed);
        // A freed block was last written on another core: the next one is
        // fetched while this one is filled, rather than when it is needed.
        if (mine)
            for (size_t at = 0; at < size_class * class_step; at += class_step)
                prefetch_for_writing(reinterpret_cast<char*>(mine) + at);
        return b;
    }
    return ::operator new(size_class * class_step);
}

void give_back(void* memory, size_t size_class)
{
    FreeList& list = free_lists()[size_class];
    if (!size_class || list.count.load(std::memory_order_relaxed) * static_cast<long>(size_class * class_step) >
                           class_bytes) {
        ::operator delete(memory);
        return;
    }
    list.count.fetch_add(1, std::memory_order_relaxed);
    auto* b = static_cast<FreeBlock*>(memory);
    b->next = list.head.load(std::memory_order_relaxed);
    while (!list.head.compare_exchange_weak(b->next, b, std::memory_order_release, std::memory_order_relaxed)) {
    }
}

} // namespace

ModuleData* ModuleData::new_block(size_t size, const char* src, ModuleData* parent)
{
    const size_t bytes = parent ? 0 : (size ? size : 1);
    const size_t size_class = class_of(head_size() + bytes);
    void* memory = take(size_class, head_size() + bytes);
    ModuleData* d = new (memory) ModuleData();
    d->_size_class = static_cast<unsigned char>(size_class);
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
        const size_t size_class = _size_class;
        this->~ModuleData();
        give_back(static_cast<void*>(this), size_class);
    }
    return left;
}

} // namespace Ostrel
