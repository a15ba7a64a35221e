#pragma once

#include "tools/phonesim/SignalSource.h"

namespace vexlink::phonesim {

// A linear sweep from `fromHz` to `toHz` over `periodMs`, then again from the
// start. Endless.
class ChirpSignal : public SignalSource {
public:
    ChirpSignal(double fromHz = 200.0, double toHz = 4000.0, uint32_t periodMs = 2000, double amplitude = 0.5);
    void render(uint64_t index, int16_t* out) const override;
    uint64_t frameCount() const override { return 0; }

private:
    double from_;
    double to_;
    uint64_t periodSamples_;
    double amplitude_;
};

}  // namespace vexlink::phonesim
