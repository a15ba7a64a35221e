#include "transport/ControlStream.h"

#include "platform/ByteOrder.h"

namespace vexlink {

namespace {

// Size of the scratch buffer through which skipped bytes are drained. The
// count to skip comes from the peer, so it never sizes an allocation.
constexpr int32_t kSkipChunk = 4096;

}  // namespace

uint8_t readU8(ControlStream& stream) {
    uint8_t b[1];
    stream.read(b, 1);
    return b[0];
}

uint16_t readU16(ControlStream& stream) {
    uint8_t b[2];
    stream.read(b, 2);
    return loadBigEndian16(b);
}

uint32_t readU32(ControlStream& stream) {
    uint8_t b[4];
    stream.read(b, 4);
    return loadBigEndian32(b);
}

void skipBytes(ControlStream& stream, int32_t n) {
    uint8_t scratch[kSkipChunk];
    while (n > 0) {
        const int32_t chunk = n < kSkipChunk ? n : kSkipChunk;
        stream.read(scratch, chunk);
        n -= chunk;
    }
}

void writeU8(ControlStream& stream, uint32_t value) {
    const uint8_t b[1] = {static_cast<uint8_t>(value)};
    stream.write(b, 1);
}

void writeU16(ControlStream& stream, uint32_t value) {
    uint8_t b[2];
    storeBigEndian16(b, static_cast<uint16_t>(value));  // its low 16 bits
    stream.write(b, 2);
}

void writeU32(ControlStream& stream, uint32_t value) {
    uint8_t b[4];
    storeBigEndian32(b, value);
    stream.write(b, 4);
}

}  // namespace vexlink
