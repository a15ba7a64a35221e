#pragma once

#include <atomic>
#include <cstdint>

#include "playout/PlayoutCounters.h"

namespace vexlink {

class AdaptivePlayout;
class PacketRing;

// The pulling side of a PacketRing that feeds an AdaptivePlayout: each pull
// first moves whatever the ring holds into the playout, restarting it where
// a new session begins (and dropping leftovers of an older one), then pulls.
// The playout belongs to the thread that calls pull(); nobody else touches it.
// After each pull the playout's counters are published, tagged with their
// session, for other threads to read.
// Threads: pull(), drain() and samplesUntilStart() on the consumer thread
// only (the timer thread, or an audio server's data thread); published()
// from any thread.
class RingPlayout {
public:
    RingPlayout(PacketRing& ring, AdaptivePlayout& playout) : ring_(ring), playout_(playout) {}

    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs);
    // Moves the ring's packets into the playout; pull() does this first.
    void drain();
    // AdaptivePlayout::samplesUntilStart, after a drain().
    int64_t samplesUntilStart(int32_t samples, uint64_t nowUs);

    // The counters as of the last pull, and the session (PacketRing's
    // number) they belong to: 0 before the first pull. Each field is read
    // on its own, so a snapshot taken during a pull may mix two pulls.
    PlayoutCounters published(uint32_t* session = nullptr) const;

private:
    void publish();

    PacketRing& ring_;
    AdaptivePlayout& playout_;
    uint32_t session_ = 0;

    // Written by the consumer only, relaxed: a snapshot costs no lock and
    // never holds up the pull.
    std::atomic<uint32_t> publishedSession_{0};
    std::atomic<uint64_t> framesPlayed_{0};
    std::atomic<uint64_t> concealedLost_{0};
    std::atomic<uint64_t> concealedLate_{0};
    std::atomic<uint64_t> concealedUnderrun_{0};
    std::atomic<uint64_t> discardedDuplicate_{0};
    std::atomic<uint64_t> discardedLate_{0};
    std::atomic<uint64_t> discardedFlush_{0};
    std::atomic<uint64_t> discardedOverflow_{0};
    std::atomic<uint64_t> framesInserted_{0};
    std::atomic<uint64_t> framesFromRedundancy_{0};
    std::atomic<uint64_t> reanchors_{0};
    std::atomic<uint64_t> flushes_{0};
    std::atomic<int32_t> targetDelaySamples_{0};
    std::atomic<int32_t> currentDelaySamples_{0};
    std::atomic<double> ratio_{1.0};
};

}  // namespace vexlink
