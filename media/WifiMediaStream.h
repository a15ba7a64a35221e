#pragma once

#include <atomic>
#include <cstdint>

#include "media/MediaStream.h"
#include "media/VoicePacket.h"

namespace vexlink {

// Voice datagrams on a bound dual-stack UDP port, served as a byte stream
// out of a 1024-byte buffer. One datagram per receive; a read that starts
// with an empty buffer appends datagrams until it has enough bytes.
// open/close run on the event thread, read/reset on the receive thread (never
// overlapping them); interrupt() comes from the event thread while a read
// may be waiting.
class WifiMediaStream final : public MediaStream {
public:
    static constexpr int32_t kReceiveWaitMs = 3000;
    static constexpr int kMinReceiveBuffer = 32768;

    explicit WifiMediaStream(uint32_t port);
    ~WifiMediaStream() override;

    int32_t open() override;
    void close() override;
    // 0 with exactly `count` bytes stored; 0 at once for a count of 0; -20
    // when no datagram came within the wait; -30 when the buffered bytes run
    // short, or for a count outside 0..1024 (the buffer is emptied either
    // way); SocketErrorException on a receive error, a zero-length datagram
    // or after interrupt().
    int32_t read(uint8_t* buffer, int32_t count) override;
    void reset() override { bufferedCount_ = 0; }
    void interrupt() override;

    int socketFd() const { return mediaSocket_; }
    int32_t bufferedCount() const { return bufferedCount_; }
    // Shorter receive waits for tests.
    void setReceiveWaitMs(int32_t ms) { receiveWaitMs_ = ms; }

private:
    void take(uint8_t* destination, int32_t count);

    std::atomic<int> mediaSocket_{-1};
    uint32_t port_;
    uint8_t datagramBuffer_[kMaxPacketPayload];
    int32_t bufferedCount_ = 0;
    int32_t receiveWaitMs_ = kReceiveWaitMs;
    std::atomic<bool> interrupted_{false};
};

}  // namespace vexlink
