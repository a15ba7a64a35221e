#pragma once

#include <cstdint>

namespace vexlink::bench {

// What a playout strategy can say about its own decisions, in frames of
// 20 ms (960 samples). kUnknown where the strategy cannot tell.
struct PlayoutCounters {
    static constexpr int64_t kUnknown = -1;

    int64_t concealed = kUnknown;          // output made up instead of a real frame
    int64_t concealedLost = kUnknown;      // for a frame that never arrived
    int64_t concealedLate = kUnknown;      // for a frame that arrived after its turn
    int64_t concealedUnderrun = kUnknown;  // nothing to play otherwise (start, stall, clock)
    int64_t discarded = kUnknown;          // received frames never played
    int64_t discardedDuplicate = kUnknown;
    int64_t discardedLate = kUnknown;      // arrived after their turn had passed
    int64_t discardedFlush = kUnknown;     // thrown away to shorten the delay
    int64_t discardedOverflow = kUnknown;  // pushed out of a full buffer
    int64_t fecRecovered = kUnknown;       // lost frames rebuilt from the next packet's FEC
    int64_t maxDepth = kUnknown;           // frames waiting, the most seen
};

}  // namespace vexlink::bench
