#pragma once

#include <cstdint>

namespace vexlink {

struct VoicePacket;

// Optional observer of each frame's way from the socket to the device, for
// benchmarks. The receive thread calls onArrival right after a packet was
// read and decoded; the timer thread calls onWritten right after the frame
// of that same packet went to the devices (not for repeats). Times are
// monotonicUs(). Implementations must be cheap and must not allocate; a
// packet that is discarded never sees onWritten. With no probe installed the
// two paths pay one null test per packet.
class LatencyProbe {
public:
    virtual ~LatencyProbe() = default;
    virtual void onArrival(const VoicePacket& packet, uint64_t nowUs) = 0;
    virtual void onWritten(const VoicePacket& packet, uint64_t nowUs) = 0;
};

}  // namespace vexlink
