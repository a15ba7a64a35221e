#include "media/PacketReader.h"

#include <algorithm>

#include "audio/VoiceDecoder.h"
#include "media/MediaStream.h"
#include "media/RawMediaPacket.h"
#include "media/VoicePacket.h"
#include "platform/ByteOrder.h"

namespace vexlink {

namespace {

// Version-4 length field: 7 header bytes behind it plus the payload.
constexpr int32_t kV4LengthOverhead = 7;
constexpr uint8_t kMediaPacketType = 4;

// Decodes the payload into the packet's frame. The decoder's verdict does
// not change the result: a packet the codec rejects is still played, so
// whatever the codec did not produce is made silent rather than left as
// stale or unspecified samples.
void decodeInto(VoiceDecoder& decoder, const uint8_t* payload, int32_t length, VoicePacket& packet) {
    // The frame holds 960 samples; never offer the codec more room than that.
    if (packet.sampleCount > kFrameSamples || packet.sampleCount < 0) {
        packet.sampleCount = kFrameSamples;
    }
    int32_t produced = 0;
    if (decoder.decode(payload, length, packet.samples, packet.sampleCount)) {
        produced = std::clamp(packet.sampleCount, int32_t{0}, kFrameSamples);
    }
    std::fill(packet.samples + produced, packet.samples + kFrameSamples, int16_t{0});
}

// Reads `count` bytes of the current packet; a refused read ends the packet.
int32_t readBytes(MediaStream& stream, uint8_t* buffer, int32_t count) {
    return mapMediaReadResult(stream.read(buffer, count));
}

// A header whose length cannot be served from the reader's buffer: the
// packet is dropped like one with a wrong type, and over UDP the rest of
// its datagram goes with it.
int32_t refusePacket(MediaStream& stream) {
    stream.reset();
    return kPacketReadBadPacket;
}

// Version-4 header: type 4 0, length (7 header bytes behind it plus the
// payload), sequence number, timestamp, gain code. The fields go to `packet`
// once the header is accepted; `payloadLength` gets what follows it.
int32_t readHeaderV4(MediaStream& stream, RawMediaPacket& packet, int32_t& payloadLength) {
    uint8_t header[kV4HeaderBytes];
    const int32_t result = readBytes(stream, header, kV4HeaderBytes);
    if (result != 0) {
        return result;
    }
    if (header[0] != kMediaPacketType || header[1] != 0) {
        return refusePacket(stream);
    }
    const int32_t length = loadBigEndian16(header + 2);
    if (length < kV4LengthOverhead || length - kV4LengthOverhead > kMaxPacketPayload) {
        return refusePacket(stream);
    }
    packet.sequence = loadBigEndian16(header + 4);
    packet.timestamp = loadBigEndian32(header + 6);
    packet.gainCode = header[10];
    payloadLength = length - kV4LengthOverhead;
    return kPacketReadOk;
}

// Versions 2 and 3 share the layout: 2 bytes not interpreted (in version 2
// the high half of a 32-bit sequence number whose low half is all that
// counts), 16-bit sequence number, 16-bit payload length, payload.
int32_t readHeaderV23(MediaStream& stream, RawMediaPacket& packet, int32_t& payloadLength) {
    uint8_t header[kV23HeaderBytes];
    const int32_t result = readBytes(stream, header, kV23HeaderBytes);
    if (result != 0) {
        return result;
    }
    packet.sequence = loadBigEndian16(header + 2);
    payloadLength = loadBigEndian16(header + 4);  // checked by the callers, after the sequence is kept
    return kPacketReadOk;
}

using HeaderReader = int32_t (*)(MediaStream&, RawMediaPacket&, int32_t&);

int32_t readRaw(HeaderReader readHeader, MediaStream& stream, RawMediaPacket& packet) {
    int32_t payloadLength = 0;
    int32_t result = readHeader(stream, packet, payloadLength);
    if (result != 0) {
        return result;
    }
    if (payloadLength > kMaxPacketPayload) {
        return refusePacket(stream);
    }
    result = readBytes(stream, packet.payload, payloadLength);
    if (result != 0) {
        return result;
    }
    packet.length = payloadLength;
    return kPacketReadOk;
}

// Raw read, then decode. The header fields reach the VoicePacket as soon as
// the header is accepted, even when the payload read then fails; version 2
// and 3 headers carry only the sequence number.
int32_t readAndDecode(HeaderReader readHeader, bool fullHeader, MediaStream& stream, VoiceDecoder& decoder,
                      VoicePacket& packet) {
    RawMediaPacket raw;  // on the stack: the reader's one buffer
    int32_t payloadLength = 0;
    int32_t result = readHeader(stream, raw, payloadLength);
    if (result != 0) {
        return result;
    }
    packet.rawSequence = raw.sequence;
    if (fullHeader) {
        packet.timestamp = raw.timestamp;
        packet.gainCode = raw.gainCode;
    }
    if (payloadLength > kMaxPacketPayload) {
        return refusePacket(stream);
    }
    result = readBytes(stream, raw.payload, payloadLength);
    if (result != 0) {
        return result;
    }
    decodeInto(decoder, raw.payload, payloadLength, packet);
    return kPacketReadOk;
}

}  // namespace

int32_t mapMediaReadResult(int32_t readResult) {
    switch (readResult) {
    case 0:
        return kPacketReadOk;
    case -20:
        return kPacketReadTimeout;
    default:
        return kPacketReadBadPacket;
    }
}

int32_t readPacketV4(MediaStream& stream, VoiceDecoder& decoder, VoicePacket& packet) {
    return readAndDecode(&readHeaderV4, true, stream, decoder, packet);
}

int32_t readPacketV3(MediaStream& stream, VoiceDecoder& decoder, VoicePacket& packet) {
    return readAndDecode(&readHeaderV23, false, stream, decoder, packet);
}

int32_t readPacketV2(MediaStream& stream, VoiceDecoder& decoder, VoicePacket& packet) {
    return readAndDecode(&readHeaderV23, false, stream, decoder, packet);
}

int32_t readRawPacketV4(MediaStream& stream, RawMediaPacket& packet) {
    return readRaw(&readHeaderV4, stream, packet);
}

int32_t readRawPacketV3(MediaStream& stream, RawMediaPacket& packet) {
    return readRaw(&readHeaderV23, stream, packet);
}

int32_t readRawPacketV2(MediaStream& stream, RawMediaPacket& packet) {
    return readRaw(&readHeaderV23, stream, packet);
}

}  // namespace vexlink
