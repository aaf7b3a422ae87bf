#include "pictureheap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

using namespace corvane;

#if defined(__SANITIZE_ADDRESS__)
#define CORVANE_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_OWN_ALLOCATOR 0
#endif
#endif
#ifndef CORVANE_OWN_ALLOCATOR
#define CORVANE_OWN_ALLOCATOR 1
#endif

// A worker's pictures begin on a large page of its own part of the heap, so
// none of them is served a page at a time.
TEST(PictureHeap, AWorkersFirstPictureStartsOnALargePage) {
#if !defined(__GLIBC__) || !CORVANE_OWN_ALLOCATOR
    GTEST_SKIP() << "only with the C library's own allocator";
#else
    pictureheap::setUp();
    for (int round = 0; round < 3; ++round) {  // fresh parts of the heap, then reused ones
        uintptr_t first = 0;
        std::thread worker([&first] {
            pictureheap::prepareThisThread();
            void* picture = std::malloc(size_t(1) << 20);
            first = uintptr_t(picture);
            std::free(picture);
        });
        worker.join();
        ASSERT_NE(first, 0u);
        EXPECT_EQ(first % (uintptr_t(2) << 20), 0u) << "round " << round;
    }
#endif
}
