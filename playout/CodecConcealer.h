#pragma once

#include <cstdint>

namespace vexlink {

class FrameDecoder;
struct RawMediaPacket;

// The codec's own concealment. A missing frame is rebuilt from the in-band
// redundancy (FEC) of the next packet when that one is already waiting,
// otherwise the decoder conceals it (PLC). The first real frame after a
// concealed one fades over kCrossFadeSamples from what concealment would
// have continued with to the decoded frame.
// Threads: one thread only.
class CodecConcealer {
public:
    static constexpr int32_t kCrossFadeSamples = 96;  // 2 ms

    explicit CodecConcealer(FrameDecoder& decoder) : decoder_(decoder) {}

    void reset() { afterConcealment_ = false; }
    // next: the packet of the following frame, or null. True when the frame
    // was rebuilt from that packet's redundancy.
    bool conceal(const RawMediaPacket* next, int16_t* out);
    void decode(const RawMediaPacket& packet, int16_t* out);

private:
    FrameDecoder& decoder_;
    bool afterConcealment_ = false;
};

}  // namespace vexlink
