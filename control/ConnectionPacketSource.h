#pragma once

#include "control/PacketSource.h"

namespace vexlink {

class ServerConnection;

// PacketSource over a ServerConnection's media readers. Borrows the
// connection, which outlives the receive thread that uses this.
class ConnectionPacketSource final : public PacketSource {
public:
    explicit ConnectionPacketSource(ServerConnection& connection) : connection_(connection) {}

    int32_t readPacketV2(VoiceDecoder& decoder, VoicePacket& packet) override;
    int32_t readPacketV3(VoiceDecoder& decoder, VoicePacket& packet) override;
    int32_t readPacketV4(VoiceDecoder& decoder, VoicePacket& packet) override;
    int32_t readRawPacketV2(RawMediaPacket& packet) override;
    int32_t readRawPacketV3(RawMediaPacket& packet) override;
    int32_t readRawPacketV4(RawMediaPacket& packet) override;

private:
    ServerConnection& connection_;
};

}  // namespace vexlink
