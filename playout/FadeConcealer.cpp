#include "playout/FadeConcealer.h"

#include <algorithm>
#include <cstring>

#include "audio/PcmLevel.h"

namespace vexlink {

void FadeConcealer::onFresh(const int16_t* frame) {
    std::memcpy(last_, frame, sizeof last_);
    hasFrame_ = true;
    repeatCount_ = 0;
}

void FadeConcealer::conceal(int16_t* out) {
    if (!hasFrame_) {
        std::fill(out, out + kFrameSamples, int16_t{0});
        return;
    }
    std::memcpy(out, last_, sizeof last_);
    if (repeatCount_ > 0) {
        const double gain = std::max(0.0, static_cast<double>(kFadeSteps - repeatCount_) / kFadeSteps);
        scalePcm(out, out, kFrameSamples, gain);
    }
    // Past kFadeSteps the level stays 0; stop counting there.
    if (repeatCount_ <= kFadeSteps) ++repeatCount_;
}

}  // namespace vexlink
