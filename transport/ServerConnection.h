#pragma once

#include <cstdint>
#include <memory>

#include "transport/ConnectionResult.h"
#include "transport/ControlStream.h"

namespace vexlink {

class MediaStream;
class VoiceDecoder;
struct VoicePacket;

enum ControlMessageType : uint8_t {
    kMsgHello = 101,
    kMsgSetup = 102,
    kMsgStart = 103,
    kMsgCommand104 = 104,
    kMsgKeepAlive = 105,
};

// The client's side of one connection: builds and owns the control and media
// streams for the configured transport and speaks the control protocol.
// connect, the handshake, sendKeepAlive, interruptReads and close run on the
// controller's event thread; the packet reads on the receive thread.
class ServerConnection {
public:
    // Longest silence within one handshake reply before it is abandoned.
    static constexpr int32_t kHandshakeReplyLimitMs = 10000;

    ServerConnection();
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    int32_t connect();  // 0, -1, -30, -31
    void close();       // closes and deletes both streams, control first

    int32_t sendHello(int32_t& serverVersion);
    int32_t sendSetup(uint8_t first, uint8_t second);
    int32_t sendStart();
    int32_t sendCommand104();
    void sendKeepAlive();

    // One media packet into `packet` (0, -40, -50); SocketErrorException
    // passes through.
    int32_t readPacketV2(VoiceDecoder& decoder, VoicePacket& packet);
    int32_t readPacketV3(VoiceDecoder& decoder, VoicePacket& packet);
    int32_t readPacketV4(VoiceDecoder& decoder, VoicePacket& packet);

    // Ends a media read waiting on the receive thread (see
    // MediaStream::interrupt) so that the thread can be joined.
    void interruptReads();

    int32_t mediaPort() const { return mediaPort_; }
    // errno of the media socket's failed open after connect gave -31
    // (EADDRINUSE: another program holds the port); 0 otherwise.
    int32_t mediaOpenError() const { return mediaOpenError_; }
    ControlStream* controlStream() const { return control_.get(); }
    MediaStream* mediaStream() const { return media_.get(); }

    // Seams for tests: run the protocol over given streams, or with a
    // shorter handshake limit.
    void adoptStreams(std::unique_ptr<ControlStream> control, std::unique_ptr<MediaStream> media,
                      int32_t mediaPort);
    void setHandshakeReplyLimitMs(int32_t ms) { replyLimitMs_ = ms; }

private:
    int32_t readReply(uint8_t expectedType, int32_t* serverVersion);
    // The streams, or SocketErrorException when there is none (use before
    // connect or after close).
    ControlStream& control();
    MediaStream& media();

    std::unique_ptr<ControlStream> control_;
    std::unique_ptr<MediaStream> media_;
    int32_t mediaPort_ = 0;
    int32_t mediaOpenError_ = 0;
    int32_t replyLimitMs_ = kHandshakeReplyLimitMs;
};

}  // namespace vexlink
