#pragma once

#include <cstdint>

#include "media/VoicePacket.h"

namespace vexlink {

// One media packet as it came off the media stream, not decoded: the header
// fields and a copy of the Opus payload. Fixed size, so it can live in
// preallocated slots; `length` is never more than kMaxPacketPayload.
struct RawMediaPacket {
    uint16_t sequence = 0;   // 16-bit sequence number of every layout
    uint32_t timestamp = 0;  // sender's ms clock, version 4 only
    uint8_t gainCode = 0;    // version 4 only
    int32_t length = 0;      // payload bytes, 0..kMaxPacketPayload
    uint8_t payload[kMaxPacketPayload] = {};
};

}  // namespace vexlink
