#pragma once

#include <cstdint>

namespace vexlink {

class VoiceDecoder;
struct RawMediaPacket;
struct VoicePacket;

// The media packet readers as the receive loop sees them: one packet per
// call, decoded into `packet` (or, for the adaptive playout, copied raw);
// 0, or a non-zero reader result (no datagram in time, bad packet);
// SocketErrorException passes through. The connection's readers in
// production, a scripted source in tests. Called on the receive thread only.
class PacketSource {
public:
    virtual ~PacketSource() = default;
    virtual int32_t readPacketV2(VoiceDecoder& decoder, VoicePacket& packet) = 0;
    virtual int32_t readPacketV3(VoiceDecoder& decoder, VoicePacket& packet) = 0;
    virtual int32_t readPacketV4(VoiceDecoder& decoder, VoicePacket& packet) = 0;
    virtual int32_t readRawPacketV2(RawMediaPacket& packet) = 0;
    virtual int32_t readRawPacketV3(RawMediaPacket& packet) = 0;
    virtual int32_t readRawPacketV4(RawMediaPacket& packet) = 0;
};

}  // namespace vexlink
