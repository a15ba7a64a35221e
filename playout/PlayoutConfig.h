#pragma once

#include <cstdint>

#include "settings/Concealment.h"

namespace vexlink {

// Settings of one AdaptivePlayout, fixed at construction.
struct PlayoutConfig {
    Concealment concealment = Concealment::Fade;
    // With codec concealment: hold one frame more, so that when a frame is
    // missing the next packet is usually there to rebuild it from its FEC.
    bool waitForRedundancy = true;
    // Safety beyond the jitter allowance: covers the bucket width of the
    // delay histogram and the rate controller's band.
    int32_t marginUs = 1500;
    // Jitter allowance until the first histogram update (100 ms of packets).
    // A consumer that chooses when it begins (the 20 ms tick) begins this
    // long (and the margin) after the first packet was due, and its pulls
    // keep that phase: on a clean network it is the room left for the odd
    // packet held up by a busy sender or receiver.
    int32_t startJitterUs = 10000;
    // Delay histogram: quantile of the per-interval maximum delays, forget
    // factor applied once per interval.
    double quantile = 0.95;
    double forgetFactor = 0.983;
    int32_t intervalUs = 100000;
    // Excess over the target that is discarded at once instead of being
    // played out faster.
    int32_t flushExcessUs = 60000;
    // Largest departure of the resampling ratio from 1.
    double maxRatioOffset = 0.005;
};

}  // namespace vexlink
