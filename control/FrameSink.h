#pragma once

#include <cstdint>

#include "audio/AudioFormat.h"

namespace vexlink {

// Where the playout writes its samples, on the timer thread: the queue-paced
// tick one 20 ms frame of 960 mono samples per call, the adaptive tick what
// the device played since its last write. The devices in production, a
// recorder in tests.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void playSamples(const int16_t* samples, int32_t count) = 0;
    void playFrame(const int16_t* samples) { playSamples(samples, kFrameSamples); }
};

}  // namespace vexlink
