#include "playout/FrameDecoder.h"

#include <opus.h>

#include <algorithm>
#include <cstring>

#include "audio/AudioFormat.h"

namespace vexlink {

FrameDecoder::FrameDecoder() {
    int error = OPUS_OK;
    main_ = opus_decoder_create(kSampleRate, kChannels, &error);
    scratch_ = opus_decoder_create(kSampleRate, kChannels, &error);
    stateBytes_ = opus_decoder_get_size(kChannels);
}

FrameDecoder::~FrameDecoder() {
    if (main_ != nullptr) opus_decoder_destroy(main_);
    if (scratch_ != nullptr) opus_decoder_destroy(scratch_);
}

void FrameDecoder::reset() {
    if (main_ != nullptr) opus_decoder_ctl(main_, OPUS_RESET_STATE);
}

void FrameDecoder::run(OpusDecoder* decoder, const uint8_t* payload, int32_t length, int16_t* out, int32_t count,
                       int fec) {
    int produced = 0;
    if (decoder != nullptr) {
        produced = opus_decode(decoder, length > 0 ? payload : nullptr, std::max(length, int32_t{0}), out, count, fec);
    }
    produced = std::clamp(produced, 0, count);
    std::fill(out + produced, out + count, int16_t{0});
}

void FrameDecoder::decode(const uint8_t* payload, int32_t length, int16_t* out) {
    run(main_, payload, length, out, kFrameSamples, 0);
}

void FrameDecoder::decodeRedundancy(const uint8_t* next, int32_t length, int16_t* out) {
    run(main_, next, length, out, kFrameSamples, length > 0 ? 1 : 0);
}

void FrameDecoder::conceal(int16_t* out) {
    run(main_, nullptr, 0, out, kFrameSamples, 0);
}

void FrameDecoder::lookAheadConcealment(int16_t* out, int32_t count) {
    if (!valid()) {
        std::fill(out, out + count, int16_t{0});
        return;
    }
    // Opus documents its decoder state as position independent and freely
    // copyable; both were created with the same parameters.
    std::memcpy(static_cast<void*>(scratch_), main_, static_cast<size_t>(stateBytes_));
    run(scratch_, nullptr, 0, out, count, 0);
}

}  // namespace vexlink
