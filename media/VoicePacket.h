#pragma once

#include <cstdint>

#include "audio/AudioFormat.h"

namespace vexlink {

// Largest media packet a reader accepts; the reader's one buffer.
constexpr int32_t kMaxPacketPayload = 1024;

constexpr int32_t kV4HeaderBytes = 11;
constexpr int32_t kV23HeaderBytes = 6;

// One received and decoded 20 ms frame with its header fields. Allocated by
// the receive thread, owned by the playout queue once queued, then by the
// playout tick.
struct VoicePacket {
    uint32_t sequence = 0;      // rawSequence extended by 16-bit wraps (v4)
    uint16_t rawSequence = 0;
    uint8_t gainCode = 0;       // v4 only
    uint32_t timestamp = 0;     // sender's ms clock, v4 only
    uint32_t playTime = 0;
    int16_t samples[kFrameSamples] = {};
    int32_t sampleCount = kFrameSamples;
    VoicePacket* next = nullptr;  // playout queue link
};

}  // namespace vexlink
