#pragma once

#include <cstdint>

struct OpusDecoder;

namespace vexlink {

// The Opus decoder of a playout core, 48 kHz mono, and a second decoder
// state used as scratch to look ahead of the first without disturbing it.
// Both are created by the constructor; a new session resets the main one
// (OPUS_RESET_STATE), which allocates nothing. Every operation writes a
// whole frame of kFrameSamples; whatever the codec does not produce is
// silence.
// Threads: one thread only.
class FrameDecoder {
public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    bool valid() const { return main_ != nullptr && scratch_ != nullptr; }
    void reset();
    // An empty payload asks for loss concealment, as in the receive path's decode.
    void decode(const uint8_t* payload, int32_t length, int16_t* out);
    // Rebuilds the frame before `next` from the redundancy it carries (or by
    // loss concealment when it carries none).
    void decodeRedundancy(const uint8_t* next, int32_t length, int16_t* out);
    // Loss concealment for one frame.
    void conceal(int16_t* out);
    // The first `count` samples concealment would give next, computed on a
    // copy of the state: the decoder itself is left as it was.
    void lookAheadConcealment(int16_t* out, int32_t count);

private:
    void run(OpusDecoder* decoder, const uint8_t* payload, int32_t length, int16_t* out, int32_t count, int fec);

    OpusDecoder* main_ = nullptr;
    OpusDecoder* scratch_ = nullptr;
    int32_t stateBytes_ = 0;
};

}  // namespace vexlink
