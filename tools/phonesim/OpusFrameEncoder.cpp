#include "tools/phonesim/OpusFrameEncoder.h"

#include <algorithm>
#include <opus.h>

#include "tools/phonesim/SignalSource.h"

namespace vexlink::phonesim {

void OpusFrameEncoder::Deleter::operator()(OpusEncoder* e) const { opus_encoder_destroy(e); }

OpusFrameEncoder::OpusFrameEncoder(OpusApplication application, int32_t bitrate, int32_t complexity,
                                   int32_t fecLossPercent) {
    int err = OPUS_OK;
    const int app = application == OpusApplication::Voip ? OPUS_APPLICATION_VOIP : OPUS_APPLICATION_AUDIO;
    OpusEncoder* e = opus_encoder_create(kSimSampleRate, 1, app, &err);
    if (err != OPUS_OK || e == nullptr) return;
    encoder_.reset(e);
    opus_encoder_ctl(e, OPUS_SET_BITRATE(std::clamp<int32_t>(bitrate, 6000, 510000)));
    opus_encoder_ctl(e, OPUS_SET_COMPLEXITY(std::clamp<int32_t>(complexity, 0, 10)));
    if (fecLossPercent > 0) {
        opus_encoder_ctl(e, OPUS_SET_INBAND_FEC(1));
        opus_encoder_ctl(e, OPUS_SET_PACKET_LOSS_PERC(std::clamp<int32_t>(fecLossPercent, 1, 100)));
    }
}

OpusFrameEncoder::~OpusFrameEncoder() = default;

int32_t OpusFrameEncoder::encode(const int16_t* frame, uint8_t* out, size_t capacity) {
    if (!encoder_) return OPUS_INVALID_STATE;
    const auto cap = static_cast<opus_int32>(std::min<size_t>(capacity, 1275));
    return opus_encode(encoder_.get(), frame, kSimFrameSamples, out, cap);
}

}  // namespace vexlink::phonesim
