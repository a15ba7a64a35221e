#include "audio/OpusVoiceDecoder.h"

#include <opus.h>

namespace vexlink {

OpusVoiceDecoder::OpusVoiceDecoder(int32_t sampleRate, int32_t channels)
    : sampleRate_(sampleRate), channels_(channels) {}

OpusVoiceDecoder::~OpusVoiceDecoder() {
    if (state_ != nullptr) close();
}

bool OpusVoiceDecoder::open() {
    close();  // a second open must not lose the first state
    int error = OPUS_OK;
    state_ = opus_decoder_create(sampleRate_, channels_, &error);
    if (error < 0 && state_ != nullptr) close();
    return error >= 0 && state_ != nullptr;
}

void OpusVoiceDecoder::close() {
    if (state_ == nullptr) return;
    opus_decoder_destroy(state_);
    state_ = nullptr;
}

bool OpusVoiceDecoder::decode(const uint8_t* packet, int32_t length, int16_t* pcm, int32_t& frameCount) {
    if (state_ == nullptr || pcm == nullptr || length < 0) return false;
    // FEC off: each packet stands on its own. A length of 0 asks the codec
    // to conceal one lost packet.
    const int samples = opus_decode(state_, length > 0 ? packet : nullptr, length, pcm, frameCount, 0);
    if (samples < 0) return false;
    frameCount = samples;
    return true;
}

}  // namespace vexlink
