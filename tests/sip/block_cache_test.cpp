// The per-thread cache of osip's memory blocks.
#include <gtest/gtest.h>

#include <malloc.h>
#include <thread>
#include <vector>

#include "sip/core/block_cache.h"

using namespace sipcore;

namespace {

TEST(SipBlockCache, FreedBlockServesOnlyRequestsItFits)
{
    // Sizes malloc itself rounds to, so that the address-sanitizer build's
    // exact block sizes reuse them too.
    for (size_t size : {24ul, 104ul, 1000ul, 8000ul, 15000ul}) {
        void* p = block_alloc(size);
        ASSERT_NE(p, nullptr);
        size_t usable = malloc_usable_size(p);
        block_free(p);
        EXPECT_EQ(block_alloc(size), p) << size;
        block_free(p);
        // Never a block smaller than asked for.
        void* q = block_alloc(usable + 1);
        EXPECT_GE(malloc_usable_size(q), usable + 1) << size;
        block_free(q);
    }
}

TEST(SipBlockCache, BoundedAndReleasedWhenTheThreadEnds)
{
    std::thread([] {
        std::vector<void*> blocks;
        for (int i = 0; i < 20000; ++i)
            blocks.push_back(block_alloc(static_cast<size_t>(16 + i % 900)));
        for (int i = 0; i < 20; ++i)
            blocks.push_back(block_alloc(8000));
        for (void* p : blocks)
            block_free(p);
        EXPECT_GT(block_cache_bytes(), 0u);
        EXPECT_LE(block_cache_bytes(), 1u << 20);
    }).join();
    // A leak check (the address-sanitizer build) sees the rest freed at the thread's end.
}

}  // namespace
