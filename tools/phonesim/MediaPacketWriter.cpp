#include "tools/phonesim/MediaPacketWriter.h"

#include <cstring>

#include "platform/ByteOrder.h"

namespace vexlink::phonesim {

size_t mediaHeaderSize(int version) { return version >= 4 ? kV4Header : kV23Header; }

size_t writeMediaPacket(const MediaPacketFields& fields, const uint8_t* payload, size_t payloadSize,
                        uint8_t* out, size_t capacity) {
    const size_t header = mediaHeaderSize(fields.version);
    if (payloadSize > 0xFFFFu - 7u || header + payloadSize > capacity) return 0;
    if (fields.version >= 4) {
        out[0] = 4;
        out[1] = 0;
        storeBigEndian16(out + 2, static_cast<uint16_t>(7 + payloadSize));
        storeBigEndian16(out + 4, static_cast<uint16_t>(fields.sequence));
        storeBigEndian32(out + 6, fields.timestampMs);
        out[10] = fields.gainCode;
    } else {
        storeBigEndian16(out, static_cast<uint16_t>(fields.sequence >> 16));
        storeBigEndian16(out + 2, static_cast<uint16_t>(fields.sequence));
        storeBigEndian16(out + 4, static_cast<uint16_t>(payloadSize));
    }
    if (payloadSize > 0) std::memcpy(out + header, payload, payloadSize);
    return header + payloadSize;
}

}  // namespace vexlink::phonesim
