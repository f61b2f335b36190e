#include "sip/core/block_cache.h"

#include <cstdlib>
#include <malloc.h>

#include <osipparser2/osip_port.h>

#if defined(__SANITIZE_ADDRESS__)
#define LG_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LG_ASAN 1
#endif
#endif

namespace sipcore {

namespace {

// Size class k holds blocks of at least 16k - 8 usable bytes (glibc's chunk
// sizes are multiples of 16 with 8 bytes of header), and serves requests up
// to that size. The cache counts a small block as 16k - 8 bytes both ways, so
// taking one out needs no malloc_usable_size.
constexpr size_t small_max = 1024;
constexpr int classes = (small_max + 23) / 16 + 1;
constexpr int per_class = 512;
// A few larger blocks: the print buffer and the transaction struct.
constexpr size_t large_max = 32768;
constexpr int large_slots = 8;
constexpr size_t byte_limit = 1 << 20;

struct free_block_t {
    free_block_t* next;
};

struct large_t {
    void* p;
    size_t usable;
};

struct cache_t {
    free_block_t* head[classes] = {};
    unsigned short count[classes] = {};
    large_t large[large_slots] = {};
    int large_count = 0;
    size_t bytes = 0;
    ~cache_t();
};

// Blocks freed while the thread ends go straight back to malloc.
thread_local bool cache_gone = false;
thread_local cache_t cache;

cache_t::~cache_t()
{
    cache_gone = true;
    for (int k = 0; k < classes; ++k)
        while (free_block_t* b = head[k]) {
            head[k] = b->next;
            free(b);
        }
    for (int i = 0; i < large_count; ++i)
        free(large[i].p);
    large_count = 0;
    bytes = 0;
}

}  // namespace

void* block_alloc(size_t size)
{
    if (cache_gone)
        return malloc(size);
    cache_t& c = cache;
    if (size <= small_max) {
        size_t k = size <= 24 ? 2 : (size + 23) / 16;  // malloc's smallest block has 24 bytes
        if (free_block_t* b = c.head[k]) {
            c.head[k] = b->next;
            --c.count[k];
            c.bytes -= 16 * k - 8;
            return b;
        }
        return malloc(size);
    }
    for (int i = 0; i < c.large_count; ++i)
        if (c.large[i].usable >= size && c.large[i].usable <= size + size / 4) {
            void* p = c.large[i].p;
            c.bytes -= c.large[i].usable;
            c.large[i] = c.large[--c.large_count];
            return p;
        }
    return malloc(size);
}

void block_free(void* p)
{
    if (!p)
        return;
    if (cache_gone) {
        free(p);
        return;
    }
    cache_t& c = cache;
    size_t usable = malloc_usable_size(p);
    size_t k = (usable + 8) / 16;
    if (k < classes) {
        size_t counted = 16 * k - 8;
        if (usable < sizeof(free_block_t) || c.count[k] >= per_class || c.bytes + counted > byte_limit) {
            free(p);
            return;
        }
        auto* b = static_cast<free_block_t*>(p);
        b->next = c.head[k];
        c.head[k] = b;
        ++c.count[k];
        c.bytes += counted;
        return;
    }
    if (usable > large_max || c.large_count == large_slots || c.bytes + usable > byte_limit) {
        free(p);
        return;
    }
    c.large[c.large_count++] = large_t{p, usable};
    c.bytes += usable;
}

void* block_realloc(void* p, size_t size) { return realloc(p, size); }

size_t block_cache_bytes() { return cache_gone ? 0 : cache.bytes; }

void block_cache_install()
{
#ifndef LG_ASAN
    osip_set_allocators(block_alloc, block_realloc, block_free);
#endif
}

}  // namespace sipcore
