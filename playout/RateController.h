#pragma once

#include <cstdint>

namespace vexlink {

// The resampling ratio (input samples per output sample) that holds the
// buffered delay at its target. Two parts:
// - the clocks' ratio measured from the schedules (sender against consumer),
//   taken as exactly 1 while it stays within kSnapPpm of 1 (and until it
//   leaves kReleasePpm), so equal clocks leave the audio untouched;
// - a proportional correction of the delay's excess over the target, zero
//   within a band of kBandSamples above it and aiming at the band's middle
//   outside it; 1 ms of excess adds 0.2 %, a time constant of 0.5 s.
// The sum is limited to 1 +- maxOffset. Inside the band with snapped clocks
// the ratio is exactly 1.
// Threads: one thread only.
class RateController {
public:
    static constexpr double kSnapPpm = 15.0;
    static constexpr double kReleasePpm = 30.0;
    static constexpr double kBandSamples = 24.0;        // 0.5 ms
    static constexpr double kGainPerSample = 2.0 / 48000.0;

    explicit RateController(double maxOffset);

    void reset();
    // excessSamples: buffered delay minus its target.
    double update(double excessSamples, double clockRatio);
    double ratio() const { return ratio_; }
    // Which way a resampler at ratio 1 should glide back to a whole sample:
    // on towards the band's middle.
    int landing() const { return landing_; }

private:
    double maxOffset_;
    bool snapped_ = true;
    double ratio_ = 1.0;
    int landing_ = 0;
};

}  // namespace vexlink
