#pragma once

#include <cstddef>

namespace vexlink::test {

// Follows the voice frames a controller queues until they are deleted, so a
// test can tell that a connection that ended released every frame it held
// (the playout queue and the last played frame), not just that they are
// freed at destruction, and how many frames were thrown away unplayed
// (trimmed by the tick, discarded by a full queue, or cleared at the end),
// whoever threw them away. The probe calls track() for each queued frame and
// markWritten() when one is played; the global operator delete of the test
// program (replaced in FrameTracker.cpp) forgets a tracked frame when it is
// deleted. Tracked addresses live in a fixed table: nothing here allocates.
//
// Threads: track() from the receive thread, markWritten() from the timer
// thread, forgetting from whichever thread deletes, the counts from the
// test; one lock covers the table.
class FrameTracker {
public:
    static constexpr size_t kCapacity = size_t{1} << 16;

    static void track(const void* frame);
    static void markWritten(const void* frame);
    // Frames tracked and not deleted yet.
    static size_t live();
    // Frames that did not fit the table (the count is then a lower bound).
    static size_t overflowed();
    // Frames seen by track() since process start.
    static size_t trackedTotal();
    // Tracked frames deleted without having been played.
    static size_t discarded();

    FrameTracker() = delete;
};

}  // namespace vexlink::test
