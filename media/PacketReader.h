#pragma once

#include <cstdint>

namespace vexlink {

class MediaStream;
class VoiceDecoder;
struct RawMediaPacket;
struct VoicePacket;

// What a packet read comes to. The connection code passes these on as its
// own results of the same values (ConnectionResult).
enum PacketReadResult : int32_t {
    kPacketReadOk = 0,
    kPacketReadTimeout = -40,    // no datagram within the stream's wait
    kPacketReadBadPacket = -50,  // short data, wrong type, bad length
};

// Reads one media packet from `stream` and decodes its payload into
// `packet` (whose sampleCount the caller set to 960). Results: 0, -40 (no
// datagram in time), -50 (short data, wrong v4 type, or a length outside
// 7..1031 / a payload over 1024 bytes: the stream is reset). A decode that
// fails or yields fewer than 960 samples leaves silence in the rest of the
// frame; the packet still counts as read. SocketErrorException passes
// through. Runs on the receive thread; allocates nothing.
int32_t readPacketV4(MediaStream& stream, VoiceDecoder& decoder, VoicePacket& packet);
int32_t readPacketV3(MediaStream& stream, VoiceDecoder& decoder, VoicePacket& packet);
int32_t readPacketV2(MediaStream& stream, VoiceDecoder& decoder, VoicePacket& packet);

// The same reads without decoding: header fields and a copy of the payload
// go to `packet`, with the same results and the same refusals. The version 2
// and 3 readers leave `timestamp` and `gainCode` as they were. Allocates
// nothing.
int32_t readRawPacketV4(MediaStream& stream, RawMediaPacket& packet);
int32_t readRawPacketV3(MediaStream& stream, RawMediaPacket& packet);
int32_t readRawPacketV2(MediaStream& stream, RawMediaPacket& packet);

// Media stream read result -> reader result: 0 -> 0, -20 -> -40, -30 -> -50.
// Any other non-zero code (no stream returns one) also becomes -50, so a
// failed read can never pass for a packet read.
int32_t mapMediaReadResult(int32_t readResult);

}  // namespace vexlink
