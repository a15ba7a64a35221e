#pragma once

#include <cstdint>

namespace vexlink::phonesim {

constexpr int32_t kSimSampleRate = 48000;
constexpr int32_t kSimFrameSamples = 960;  // 20 ms

// A mono 48 kHz sound, cut into 20 ms frames, addressable by frame number so
// that a test can rebuild exactly what any packet carried. Implementations
// are immutable after construction: render may be called from any thread.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    // Writes the 960 samples of frame `index`.
    virtual void render(uint64_t index, int16_t* out) const = 0;
    // Number of frames, or 0 for an endless signal. A finite signal repeats
    // from its start when asked for a later frame.
    virtual uint64_t frameCount() const = 0;
};

}  // namespace vexlink::phonesim
