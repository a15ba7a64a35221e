#pragma once

#include <cstdint>

namespace vexlink {

class SampleFifo;

// Resamples by a ratio close to 1 (input samples per output sample) with a
// 32-tap Kaiser-windowed sinc, 128 phases with linear interpolation between
// them, taps in Q14 and integer products (about 78 dB from an exact
// interpolation, some 80 instructions per sample). It reads its input in place from a SampleFifo at a position the
// caller keeps (integer part) plus a phase it keeps itself (fraction, 32
// bits): the filter's history is simply the samples behind the position, so
// switching in needs no priming and nothing is held back inside.
//
// At phase 0 the filter is a unit impulse, so while the ratio is exactly 1
// and the phase 0 the input is copied bit for bit. When the ratio returns to
// 1 with the phase elsewhere, the phase first glides to a whole sample at
// 1 +- kLandingStep (at most 200 samples, about 4 ms), then copying resumes;
// the audio never jumps. The glide goes forward or back as the caller asks
// (the way its correction went), or to the nearer sample.
// Threads: one thread only.
class FractionalResampler {
public:
    static constexpr int32_t kHalfTaps = 16;  // taps behind and ahead of the position
    static constexpr double kLandingStep = 0.005;

    FractionalResampler();

    void reset() { phase_ = 0; ratio_ = 1.0; step_ = kOne; landing_ = 0; }
    // landing: at ratio 1, glide forward (+1), back (-1) or to the nearer
    // whole sample (0).
    void setRatio(double ratio, int landing = 0);
    double ratio() const { return ratio_; }
    bool copying() const { return phase_ == 0 && step_ == kOne; }
    uint32_t phase() const { return phase_; }
    double phaseFraction() const { return phase_ / 4294967296.0; }

    // Input the next `count` outputs read, counted from the position: up to
    // and including kHalfTaps samples past the last one they sit on.
    int64_t inputSpan(int32_t count) const;
    // Writes `count` samples, reading `in` around `position`, which moves on.
    void process(const SampleFifo& in, int64_t& position, int16_t* out, int32_t count);

private:
    static constexpr int64_t kOne = int64_t{1} << 32;
    static constexpr int32_t kPhases = 128;
    static constexpr int32_t kTaps = 2 * kHalfTaps;
    static constexpr int32_t kUnity = 1 << 14;  // the taps of a row add up to at most 2.4 in size: 2.4 * 2^14 * 2^15 < 2^31

    int16_t interpolate(const int16_t* x, uint32_t phase) const;
    int64_t nextStep() const;

    alignas(32) int16_t table_[kPhases + 1][kTaps];
    double ratio_ = 1.0;
    int64_t step_ = kOne;  // phase advance per output sample, 2^32 per input sample
    uint32_t phase_ = 0;
    int landing_ = 0;
};

}  // namespace vexlink
