#include "pictureheap.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#include <sys/mman.h>
#endif

namespace corvane::pictureheap {

namespace {

std::atomic<bool> setUpDone{false};

// Grows the calling thread's part of the heap by `bytes`, marked for large
// pages, so that its first use faults once per two megabytes instead of once
// per page.  The stretch below the first large page can only have small
// ones, and pictures would land there first; it is set aside, never touched.
// Should that block come from elsewhere, it is given back and the heap is
// used as it is.
void growAhead(size_t bytes) {
#if defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    char* const block = static_cast<char*>(std::malloc(bytes));
    if (!block) return;
    const uintptr_t from = (uintptr_t(block) + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t to = (uintptr_t(block) + bytes) & ~(kLarge - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    std::free(block);  // stays in the heap, below the trim threshold
    if (from > uintptr_t(block)) {
        void* const head = std::malloc(from - uintptr_t(block) - sizeof(size_t));
        if (head != block) std::free(head);
    }
#else
    (void)bytes;
#endif
}

}  // namespace

void setUp() {
#if defined(__GLIBC__)
    // Below this size, pictures come from the heap and stay there when freed.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    growAhead(size_t(48) << 20);
    setUpDone = true;
#endif
}

void prepareThisThread() {
    // Each thread that allocates gets a part of the heap of its own; a
    // worker's first allocation here makes it and grows it.
    if (setUpDone) growAhead(size_t(32) << 20);
}

}  // namespace corvane::pictureheap
