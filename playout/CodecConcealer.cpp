#include "playout/CodecConcealer.h"

#include "media/RawMediaPacket.h"
#include "playout/FrameDecoder.h"

namespace vexlink {

bool CodecConcealer::conceal(const RawMediaPacket* next, int16_t* out) {
    afterConcealment_ = true;
    if (next != nullptr && next->length > 0) {
        decoder_.decodeRedundancy(next->payload, next->length, out);
        return true;
    }
    decoder_.conceal(out);
    return false;
}

void CodecConcealer::decode(const RawMediaPacket& packet, int16_t* out) {
    if (!afterConcealment_) {
        decoder_.decode(packet.payload, packet.length, out);
        return;
    }
    int16_t continued[kCrossFadeSamples];
    decoder_.lookAheadConcealment(continued, kCrossFadeSamples);
    decoder_.decode(packet.payload, packet.length, out);
    for (int32_t i = 0; i < kCrossFadeSamples; ++i) {
        const int32_t in = i + 1;  // weight of the decoded frame, out of kCrossFadeSamples + 1
        out[i] = static_cast<int16_t>((continued[i] * (kCrossFadeSamples + 1 - in) + out[i] * in) /
                                      (kCrossFadeSamples + 1));
    }
    afterConcealment_ = false;
}

}  // namespace vexlink
