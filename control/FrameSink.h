#pragma once

#include <cstdint>

namespace vexlink {

// Where the playout tick writes its frames: one 20 ms frame of 960 mono
// samples per call, on the timer thread. The devices in production, a
// recorder in tests.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    virtual void playFrame(const int16_t* samples) = 0;
};

}  // namespace vexlink
