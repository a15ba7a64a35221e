#pragma once

#include <cstdint>

namespace vexlink {

// The resampling ratio (input samples per output sample) that holds the
// buffered delay at its target. Two parts:
// - the clocks' ratio measured from the schedules (sender against consumer),
//   taken as exactly 1 while it stays within kSnapPpm of 1 (and until it
//   leaves kReleasePpm), so equal clocks leave the audio untouched; a ratio
//   is only as far from 1 as it is sure to be: the measurement's margin less
//   (jitter, or a busy machine, scatters a short history's slope by
//   hundreds of ppm);
// - a proportional correction of the delay's excess over the target, zero
//   within a band of kBandSamples above it and aiming at the band's middle
//   outside it; 1 ms of excess adds 0.2 %, a time constant of 0.5 s. The
//   band reaches kSlackSamples below the target: a target counts the pull's
//   span in whole samples, so a puller whose sizes differ by a sample (one
//   that follows the sender's clock) would otherwise be corrected at every
//   other pull.
// The sum is limited to 1 +- maxOffset. Inside the band with snapped clocks
// the ratio is exactly 1.
// Threads: one thread only.
class RateController {
public:
    static constexpr double kSnapPpm = 15.0;
    static constexpr double kReleasePpm = 30.0;
    static constexpr double kBandSamples = 24.0;        // 0.5 ms
    static constexpr double kSlackSamples = 1.0;
    static constexpr double kGainPerSample = 2.0 / 48000.0;

    explicit RateController(double maxOffset);

    void reset();
    // The clocks' measured ratio and how far it may be off: decides whether
    // they are taken as equal (snapped()).
    void observeClocks(double clockRatio, double clockMargin = 0.0);
    // excessSamples: buffered delay minus its target. Uses the clocks as
    // last observed.
    double update(double excessSamples);
    double ratio() const { return ratio_; }
    // The clocks are taken as equal.
    bool snapped() const { return snapped_; }
    // Which way a resampler at ratio 1 should glide back to a whole sample:
    // on towards the band's middle.
    int landing() const { return landing_; }

private:
    double maxOffset_;
    double clockRatio_ = 1.0;
    bool snapped_ = true;
    double ratio_ = 1.0;
    int landing_ = 0;
};

}  // namespace vexlink
