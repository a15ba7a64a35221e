#include "playout/PullPhases.h"

#include <algorithm>
#include <cmath>

#include "audio/AudioFormat.h"

namespace vexlink {

namespace {
constexpr double kFrame = kFrameSamples;
}  // namespace

double PullPhases::phaseOf(double reached) {
    const double phase = std::fmod(reached, kFrame);
    return phase < 0.0 ? phase + kFrame : phase;
}

// At phase p the schedule has run p samples past the end of the last packet
// due; going back `allowance` more, the last packet due that long ago ends
// `allowance` plus the rest of the way back to a packet end behind it.
double PullPhases::slack(double phase, double allowance) {
    return allowance + phaseOf(phase - allowance);
}

double PullPhases::anySlack(double allowance) { return allowance + kFrame - 1.0; }

void PullPhases::add(double reached) {
    phases_[static_cast<size_t>(next_)] = phaseOf(reached);
    next_ = (next_ + 1) % kPulls;
    count_ = std::min(count_ + 1, kPulls);
}

double PullPhases::worstSlack(double reached, double allowance, double tolerance) const {
    double worst = slack(reached + tolerance, allowance);
    for (int32_t i = 0; i < count_; ++i) {
        worst = std::max(worst, slack(phases_[static_cast<size_t>(i)] + tolerance, allowance));
    }
    return worst - tolerance;
}

}  // namespace vexlink
