#pragma once

#include "tools/phonesim/SignalSource.h"

namespace vexlink::phonesim {

// A low voiced sound: a fundamental with its 2nd to 4th harmonics at 1/k^2,
// under a slow tremolo between (1 - depth) and full level. Steady enough in
// pitch that a frame dropped, repeated or swapped leaves a jump in the
// waveform (20 ms at 220 Hz is 4.4 periods, so the phase jumps by 0.4 of a
// period), yet moving enough in level that libopus treats it as active voice
// and adds in-band FEC when asked to (a steady tone gets none). Endless.
class TremoloSignal : public SignalSource {
public:
    TremoloSignal(double fundamentalHz = 220.0, double tremoloHz = 4.0, double depth = 0.9, double amplitude = 0.35);
    void render(uint64_t index, int16_t* out) const override;
    uint64_t frameCount() const override { return 0; }

private:
    double fundamental_;
    double tremolo_;
    double depth_;
    double scale_;  // full-level peak of the fundamental, in sample units
};

}  // namespace vexlink::phonesim
