#include "tools/phonesim/ToneSignal.h"

#include <cmath>
#include <numbers>

namespace vexlink::phonesim {

ToneSignal::ToneSignal(double frequencyHz, double amplitude) : frequency_(frequencyHz), amplitude_(amplitude) {}

void ToneSignal::render(uint64_t index, int16_t* out) const {
    const double scale = amplitude_ * 32767.0;
    for (int32_t i = 0; i < kSimFrameSamples; ++i) {
        const uint64_t n = index * kSimFrameSamples + static_cast<uint64_t>(i);
        // Whole turns dropped before the sine: a day of samples still leaves
        // the phase exact to about 1e-8 of a turn.
        const double turns = std::fmod(frequency_ * static_cast<double>(n) / kSimSampleRate, 1.0);
        const double v = scale * std::sin(2.0 * std::numbers::pi * turns);
        out[i] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
    }
}

}  // namespace vexlink::phonesim
