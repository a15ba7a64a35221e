#pragma once

#include <cstdint>

namespace vexlink {

// What the playout side shows of itself while connected, as one copy taken
// at one moment. The counters run on across connections; only their
// differences over a span of time mean something.
struct PlayoutStatus {
    uint32_t playedFrames = 0;     // 20 ms slots that went to the devices
    uint32_t concealedFrames = 0;  // of those, slots made up for a missing frame
    uint32_t lateFrames = 0;       // frames that arrived after their slot had passed
    int32_t peakLevel = 0;         // 0..32767: the loudest sample played in the last 200 ms
    int32_t delayMs = 0;           // how long a frame now waits before it is played
};

}  // namespace vexlink
