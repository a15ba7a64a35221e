#pragma once

#include "tools/phonesim/SignalSource.h"

namespace vexlink::phonesim {

// A sine tone: sample n = amplitude * sin(2 pi f n / 48000). Endless.
class ToneSignal : public SignalSource {
public:
    explicit ToneSignal(double frequencyHz = 1000.0, double amplitude = 0.5);
    void render(uint64_t index, int16_t* out) const override;
    uint64_t frameCount() const override { return 0; }

private:
    double frequency_;
    double amplitude_;  // fraction of full scale
};

}  // namespace vexlink::phonesim
