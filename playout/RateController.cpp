#include "playout/RateController.h"

#include <algorithm>
#include <cmath>

namespace vexlink {

RateController::RateController(double maxOffset) : maxOffset_(maxOffset) {}

void RateController::reset() {
    clockRatio_ = 1.0;
    snapped_ = true;
    ratio_ = 1.0;
    landing_ = 0;
}

void RateController::observeClocks(double clockRatio, double clockMargin) {
    clockRatio_ = clockRatio;
    const double ppm = (std::abs(clockRatio - 1.0) - clockMargin) * 1e6;
    if (snapped_ && ppm > kReleasePpm) snapped_ = false;
    if (!snapped_ && ppm < kSnapPpm) snapped_ = true;
}

double RateController::update(double excessSamples) {
    const double base = snapped_ ? 1.0 : clockRatio_;

    // Outside the band the correction aims at its middle, so the delay comes
    // back into it in finite time and the correction stops there.
    double correction = 0.0;
    if (excessSamples < -kSlackSamples || excessSamples > kBandSamples) {
        correction = (excessSamples - kBandSamples / 2) * kGainPerSample;
    }
    landing_ = excessSamples > kBandSamples / 2 ? 1 : -1;
    ratio_ = correction == 0.0 && base == 1.0 ? 1.0 : std::clamp(base + correction, 1.0 - maxOffset_, 1.0 + maxOffset_);
    return ratio_;
}

}  // namespace vexlink
