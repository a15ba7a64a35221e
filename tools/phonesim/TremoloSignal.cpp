#include "tools/phonesim/TremoloSignal.h"

#include <cmath>
#include <numbers>

namespace vexlink::phonesim {

namespace {

// sin(2 pi f n / rate) with whole turns dropped first, so that the phase
// stays exact however far into the signal n is.
double sineAt(double frequencyHz, uint64_t n) {
    const double turns = std::fmod(frequencyHz * static_cast<double>(n) / kSimSampleRate, 1.0);
    return std::sin(2.0 * std::numbers::pi * turns);
}

}  // namespace

TremoloSignal::TremoloSignal(double fundamentalHz, double tremoloHz, double depth, double amplitude)
    : fundamental_(fundamentalHz), tremolo_(tremoloHz), depth_(depth), scale_(amplitude * 32767.0) {}

void TremoloSignal::render(uint64_t index, int16_t* out) const {
    constexpr int kHarmonics = 4;
    for (int32_t i = 0; i < kSimFrameSamples; ++i) {
        const uint64_t n = index * kSimFrameSamples + static_cast<uint64_t>(i);
        double v = 0.0;
        for (int k = 1; k <= kHarmonics; ++k) v += sineAt(fundamental_ * k, n) / (k * k);
        const double level = 1.0 - depth_ * 0.5 * (1.0 + sineAt(tremolo_, n));
        const double s = scale_ * level * v;
        out[i] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, s))));
    }
}

}  // namespace vexlink::phonesim
