#pragma once

#include <cstdint>

namespace vexlink {

// Codec-neutral voice decoder. One per receive thread and connection; never
// shared between threads.
class VoiceDecoder {
public:
    virtual ~VoiceDecoder() = default;
    virtual bool open() = 0;
    virtual void close() = 0;
    // frameCount: capacity of pcm in samples per channel on entry; on
    // success the number of samples produced. Unchanged on failure.
    virtual bool decode(const uint8_t* packet, int32_t length, int16_t* pcm, int32_t& frameCount) = 0;
};

}  // namespace vexlink
