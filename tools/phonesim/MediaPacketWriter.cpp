#include "tools/phonesim/MediaPacketWriter.h"

#include <cstring>

namespace vexlink::phonesim {

namespace {

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

}  // namespace

size_t mediaHeaderSize(int version) { return version >= 4 ? kV4Header : kV23Header; }

size_t writeMediaPacket(const MediaPacketFields& fields, const uint8_t* payload, size_t payloadSize,
                        uint8_t* out, size_t capacity) {
    const size_t header = mediaHeaderSize(fields.version);
    if (payloadSize > 0xFFFFu - 7u || header + payloadSize > capacity) return 0;
    if (fields.version >= 4) {
        out[0] = 4;
        out[1] = 0;
        put16(out + 2, static_cast<uint32_t>(7 + payloadSize));
        put16(out + 4, fields.sequence & 0xFFFFu);
        put32(out + 6, fields.timestampMs);
        out[10] = fields.gainCode;
    } else {
        put16(out, fields.sequence >> 16);
        put16(out + 2, fields.sequence & 0xFFFFu);
        put16(out + 4, static_cast<uint32_t>(payloadSize));
    }
    if (payloadSize > 0) std::memcpy(out + header, payload, payloadSize);
    return header + payloadSize;
}

}  // namespace vexlink::phonesim
