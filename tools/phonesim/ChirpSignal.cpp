#include "tools/phonesim/ChirpSignal.h"

#include <cmath>
#include <numbers>

namespace vexlink::phonesim {

ChirpSignal::ChirpSignal(double fromHz, double toHz, uint32_t periodMs, double amplitude)
    : from_(fromHz), to_(toHz), periodSamples_(static_cast<uint64_t>(periodMs == 0 ? 1 : periodMs) * 48u),
      amplitude_(amplitude) {}

void ChirpSignal::render(uint64_t index, int16_t* out) const {
    const double scale = amplitude_ * 32767.0;
    const double period = static_cast<double>(periodSamples_) / kSimSampleRate;
    for (int32_t i = 0; i < kSimFrameSamples; ++i) {
        const uint64_t n = (index * kSimFrameSamples + static_cast<uint64_t>(i)) % periodSamples_;
        const double t = static_cast<double>(n) / kSimSampleRate;
        const double turns = from_ * t + (to_ - from_) * t * t / (2.0 * period);
        const double v = scale * std::sin(2.0 * std::numbers::pi * std::fmod(turns, 1.0));
        out[i] = static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
    }
}

}  // namespace vexlink::phonesim
