#include "control/ConnectionPacketSource.h"

#include "transport/ServerConnection.h"

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

}  // namespace vexlink
