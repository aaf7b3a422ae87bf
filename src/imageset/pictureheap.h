// The heap, set up for what this program allocates most: pictures of a few
// megabytes, made and dropped again for every level of every set.
#pragma once

namespace corvane::pictureheap {

// For the whole program, once, first thing in main().  Pictures then stay
// in the heap rather than being mapped afresh each time, and the heap is
// grown ahead in large pages.  Without it the heap is left as it is.
void setUp();

// For a thread that handles pictures of its own, such as a batch worker, as
// it starts: its own part of the heap is grown ahead the same way, so that
// workers neither fault in pages nor wait on each other's allocations.
// Does nothing unless setUp() was called.
void prepareThisThread();

}  // namespace corvane::pictureheap
