#pragma once

#include <cstdint>

namespace vexlink {

class AdaptivePlayout;
class PacketRing;

// The pulling side of a PacketRing that feeds an AdaptivePlayout: each pull
// first moves whatever the ring holds into the playout, restarting it where
// a new session begins (and dropping leftovers of an older one), then pulls.
// The playout belongs to the thread that calls pull(); nobody else touches it.
// Threads: pull() on the consumer thread only (the timer thread, or an
// audio server's data thread).
class RingPlayout {
public:
    RingPlayout(PacketRing& ring, AdaptivePlayout& playout) : ring_(ring), playout_(playout) {}

    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs);
    // Moves the ring's packets into the playout; pull() does this first.
    void drain();

private:
    PacketRing& ring_;
    AdaptivePlayout& playout_;
    uint32_t session_ = 0;
};

}  // namespace vexlink
