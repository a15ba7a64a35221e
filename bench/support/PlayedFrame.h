#pragma once

#include <cstdint>

namespace vexlink::bench {

// One real frame heard: the simulator's frame index (its sequence number
// from 0, unwrapped), where its first sample sits in the connection's output
// and when that sample was written (CLOCK_MONOTONIC, microseconds).
struct PlayedFrame {
    uint32_t index = 0;
    uint64_t outputSample = 0;
    uint64_t nowUs = 0;
};

// The frame index nearest to `reference` whose low 16 bits are `raw`.
inline uint32_t unwrapSequence(uint16_t raw, uint32_t reference) {
    const int64_t index = static_cast<int64_t>(reference) + static_cast<int16_t>(raw - static_cast<uint16_t>(reference));
    return index < 0 ? raw : static_cast<uint32_t>(index);
}

}  // namespace vexlink::bench
