#include "control/ConnectionPacketSource.h"

#include "media/PacketReader.h"
#include "session/ServerConnection.h"

namespace vexlink {

int32_t ConnectionPacketSource::readPacketV2(VoiceDecoder& decoder, VoicePacket& packet) {
    return connection_.readPacketV2(decoder, packet);
}

int32_t ConnectionPacketSource::readPacketV3(VoiceDecoder& decoder, VoicePacket& packet) {
    return connection_.readPacketV3(decoder, packet);
}

int32_t ConnectionPacketSource::readPacketV4(VoiceDecoder& decoder, VoicePacket& packet) {
    return connection_.readPacketV4(decoder, packet);
}

// The connection's media stream exists from its connect until its close,
// which comes only after the receive thread has been joined.
int32_t ConnectionPacketSource::readRawPacketV2(RawMediaPacket& packet) {
    return vexlink::readRawPacketV2(*connection_.mediaStream(), packet);
}

int32_t ConnectionPacketSource::readRawPacketV3(RawMediaPacket& packet) {
    return vexlink::readRawPacketV3(*connection_.mediaStream(), packet);
}

int32_t ConnectionPacketSource::readRawPacketV4(RawMediaPacket& packet) {
    return vexlink::readRawPacketV4(*connection_.mediaStream(), packet);
}

}  // namespace vexlink
