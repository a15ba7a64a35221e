#pragma once

#include "audio/VoiceDecoder.h"

struct OpusDecoder;

namespace vexlink {

// Opus decoding into 16-bit PCM, FEC off. The decoder state exists exactly
// between a successful open() and the next close().
class OpusVoiceDecoder final : public VoiceDecoder {
public:
    OpusVoiceDecoder(int32_t sampleRate, int32_t channels);
    ~OpusVoiceDecoder() override;
    OpusVoiceDecoder(const OpusVoiceDecoder&) = delete;
    OpusVoiceDecoder& operator=(const OpusVoiceDecoder&) = delete;

    bool open() override;
    void close() override;
    bool decode(const uint8_t* packet, int32_t length, int16_t* pcm, int32_t& frameCount) override;

    bool isOpen() const { return state_ != nullptr; }

private:
    OpusDecoder* state_ = nullptr;
    int32_t sampleRate_;
    int32_t channels_;
};

}  // namespace vexlink
