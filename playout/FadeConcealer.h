#pragma once

#include <cstdint>

#include "audio/AudioFormat.h"

namespace vexlink {

// Repeat-and-fade: a missing frame is the last fresh frame again, the first
// time at full level, then at 15/16, 14/16 .. 1/16, then silence for as long
// as frames stay missing; a fresh frame restores full level. The levels are
// applied with scalePcm (truncation toward zero), as the queue-paced tick
// does.
// Threads: one thread only.
class FadeConcealer {
public:
    static constexpr int32_t kFadeSteps = 16;

    void reset() { hasFrame_ = false; repeatCount_ = 0; }
    void onFresh(const int16_t* frame);
    // Writes the next repetition of kFrameSamples; silence when no frame has
    // been fresh yet.
    void conceal(int16_t* out);
    int32_t repeatCount() const { return repeatCount_; }

private:
    int16_t last_[kFrameSamples] = {};
    bool hasFrame_ = false;
    int32_t repeatCount_ = 0;
};

}  // namespace vexlink
