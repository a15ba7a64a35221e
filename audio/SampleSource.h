#pragma once

#include <cstdint>

namespace vexlink {

// Where an output that is driven by its own clock (a sound server's graph)
// takes the voice from: it asks for exactly as many samples as its cycle
// needs, whatever that count is. The playout implements it.
//
// Threads: pull() is called on the output's real-time thread, one call at a
// time; it must neither block nor allocate.
class SampleSource {
public:
    virtual ~SampleSource() = default;

    // Writes up to `samples` mono 48 kHz samples to `out` and returns how many
    // it wrote, from the front of `out`; 0 when it has nothing yet. The
    // output fills whatever is left with silence. `nowUs` is the monotonic
    // time (microseconds) at which the output's cycle started.
    virtual int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs) = 0;
};

}  // namespace vexlink
