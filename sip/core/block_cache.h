// A per-thread cache of freed memory blocks for osip. osip allocates every
// piece of a message (each header, parameter and URI part), prints into a
// fresh 8 KB buffer and zero-fills a 15 KB struct per transaction; glibc's
// own per-thread cache keeps only 7 blocks per size, so under load most of
// these went through its bins (sorting, consolidation, heap trimming).
// Every cached block is a genuine malloc block: a plain free() of an osip
// block, or osip_free() of a plain malloc block, stays correct.
#pragma once

#include <cstddef>

namespace sipcore {

void* block_alloc(size_t size);
void block_free(void* p);
void* block_realloc(void* p, size_t size);
// Bytes this thread's cache holds.
size_t block_cache_bytes();
// Hands osip these functions (once, before the parser first runs). Not in
// AddressSanitizer builds, where a cached block would hide a use after free.
void block_cache_install();

}  // namespace sipcore
