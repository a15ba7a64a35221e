#pragma once

#include <cstdint>
#include <memory>

#include "session/ConnectionResult.h"
#include "transport/ControlStream.h"

namespace vexlink {

class CancelSignal;
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
//
// The connect and the handshake have deadlines and end early on the cancel
// signal: the TCP connect (resolution included) gets kConnectLimitMs; the
// Bluetooth search and connect have no deadline (pairing may need the user)
// but end on cancel; Hello, Setup and Start together, between
// beginHandshake and endHandshake, get kHandshakeLimitMs however the bytes
// trickle in. Once connected the control stream waits without limit.
class ServerConnection {
public:
    static constexpr int32_t kConnectLimitMs = 10000;
    static constexpr int32_t kHandshakeLimitMs = 15000;

    ServerConnection();
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    int32_t connect();  // 0, -1, -30, -31
    void close();       // closes and deletes both streams, control first

    // Not owned; must outlive the connection. Set before connect.
    void setCancelSignal(const CancelSignal* cancel) { cancel_ = cancel; }
    // Starts and ends the handshake's one deadline (and its cancel).
    void beginHandshake();
    void endHandshake();

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

    // Seams for tests: run the protocol over given streams, opened by
    // openStreams (connect's last step: 0, -30, -31; the cancel signal
    // applies, the connect deadline only `withDeadline`); or with shorter
    // limits (0 keeps a limit as it is).
    void adoptStreams(std::unique_ptr<ControlStream> control, std::unique_ptr<MediaStream> media,
                      int32_t mediaPort);
    int32_t openStreams(bool withDeadline);
    void setLimitsMs(int32_t connectMs, int32_t handshakeMs);

private:
    int32_t readReply(uint8_t expectedType, int32_t* serverVersion);
    // The streams, or SocketErrorException when there is none (use before
    // connect or after close).
    ControlStream& control();
    MediaStream& media();

    std::unique_ptr<ControlStream> control_;
    std::unique_ptr<MediaStream> media_;
    int32_t mediaPort_ = 0;
    const CancelSignal* cancel_ = nullptr;
    int32_t connectLimitMs_ = kConnectLimitMs;
    int32_t handshakeLimitMs_ = kHandshakeLimitMs;
    int32_t mediaOpenError_ = 0;
};

}  // namespace vexlink
