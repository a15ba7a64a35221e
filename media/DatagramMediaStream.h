#pragma once

#include <cstdint>

#include "media/MediaStream.h"
#include "media/VoicePacket.h"

namespace vexlink {

// Voice datagrams served as a byte stream out of a 1024-byte buffer. A
// datagram normally carries one packet; several packets in one datagram are
// served one by one without a new receive; a packet never continues in the
// next datagram, except that a read which starts with an empty buffer
// appends datagrams until it has enough bytes. Where the datagrams come from
// is the subclass's business (a UDP socket, or memory when fuzzing).
// Threads: read and reset on the receive thread only, as MediaStream says.
class DatagramMediaStream : public MediaStream {
public:
    // 0 with exactly `count` bytes stored; 0 at once for a count of 0; -20
    // when no datagram came within the wait; -30 when the buffered bytes run
    // short, or for a count outside 0..1024 (the buffer is emptied either
    // way); SocketErrorException as receiveDatagram throws it.
    int32_t read(uint8_t* buffer, int32_t count) final;
    void reset() final { bufferedCount_ = 0; }

    int32_t bufferedCount() const { return bufferedCount_; }

protected:
    // Receives the next datagram into `into`, cut to `capacity` bytes (1 to
    // 1024): its length (> 0), or 0 when none came within the wait; throws
    // SocketErrorException on a receive error or a zero-length datagram.
    virtual int32_t receiveDatagram(uint8_t* into, int32_t capacity) = 0;

private:
    void take(uint8_t* destination, int32_t count);

    uint8_t datagramBuffer_[kMaxPacketPayload];
    int32_t bufferedCount_ = 0;
};

}  // namespace vexlink
