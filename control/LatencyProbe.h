#pragma once

#include <cstdint>

namespace vexlink {

struct RawMediaPacket;
struct VoicePacket;

// Optional observer of each frame's way from the socket to the device, for
// benchmarks and tests. Times are monotonicUs(). Implementations must be
// cheap and must not allocate. With no probe installed the paths pay one
// null test per packet.
//
//  - onArrival: the receive thread, right after a packet was read and
//    decoded.
//  - onWritten: the timer thread, right after the frame of that same packet
//    went to the devices (not for concealment); a packet that is discarded
//    never sees it.
//  - onFramePlayed: the timer thread, for every real (not concealed) frame
//    whose first sample went out in a device write. `outputSample` is the
//    index of that sample in the connection's output stream: every sample
//    written to the loopback device since Connected counts, concealment
//    included, so the first sample written is 0. `nowUs` is when that
//    sample goes out: the time of the write plus the sample's place in it
//    at 48 kHz. Whatever the playout strategy, this is the one call that
//    says which frame is heard where and when.
//  - onRawArrival: the receive thread of the adaptive playout, which reads
//    packets without decoding them, right after each was read (instead of
//    onArrival; that playout calls no onWritten either).
class LatencyProbe {
public:
    virtual ~LatencyProbe() = default;
    virtual void onArrival(const VoicePacket& packet, uint64_t nowUs) = 0;
    virtual void onWritten(const VoicePacket& packet, uint64_t nowUs) = 0;
    virtual void onFramePlayed(uint16_t rawSequence, uint32_t timestamp, uint64_t outputSample, uint64_t nowUs) {
        (void)rawSequence;
        (void)timestamp;
        (void)outputSample;
        (void)nowUs;
    }
    virtual void onRawArrival(const RawMediaPacket& packet, uint64_t nowUs) {
        (void)packet;
        (void)nowUs;
    }
};

}  // namespace vexlink
