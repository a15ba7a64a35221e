#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlink::phonesim {

// Header fields of one media packet as the phone writes it.
struct MediaPacketFields {
    int version = 4;          // 2, 3 or 4 (4 also for any later version)
    uint32_t sequence = 0;    // v4 and v3/v2 bytes 2-3 carry the low 16 bits;
                              // v2/v3 bytes 0-1 carry the high 16 bits
    uint32_t timestampMs = 0; // v4 only
    uint8_t gainCode = 5;     // v4 only
};

constexpr size_t kV4Header = 11;
constexpr size_t kV23Header = 6;
// Largest Opus payload the simulator puts into one packet: a whole v4 packet
// then still fits the client's 1024-byte datagram buffer.
constexpr size_t kMaxOpusPayload = 1024 - kV4Header;

// Header size of the layout for `version`.
size_t mediaHeaderSize(int version);

// Writes header and payload into out (capacity `capacity`) and returns the
// packet's size, or 0 when it does not fit or the payload is too long for
// the length field. Version 4: 04 00, length = 7 + payload (16 bits),
// sequence (16), timestamp (32), gain code (8). Versions 2/3: sequence high
// half (16), sequence (16), payload length (16). Big-endian throughout.
size_t writeMediaPacket(const MediaPacketFields& fields, const uint8_t* payload, size_t payloadSize,
                        uint8_t* out, size_t capacity);

}  // namespace vexlink::phonesim
