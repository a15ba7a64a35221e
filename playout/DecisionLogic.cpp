#include "playout/DecisionLogic.h"

#include <cmath>

#include "audio/AudioFormat.h"
#include "playout/FractionalResampler.h"
#include "playout/RateController.h"

namespace vexlink {

namespace {
constexpr double kSamplesPerUs = kSampleRate / 1e6;
}  // namespace

double DecisionLogic::allowanceSamples(int32_t allowanceUs) const {
    return (allowanceUs + config_.marginUs) * kSamplesPerUs;
}

double DecisionLogic::target(int32_t pullSamples, double slackSamples) const {
    // The pull reads its own length, more while resampling faster.
    const double span = std::ceil(pullSamples * (1.0 + config_.maxRatioOffset)) + FractionalResampler::kHalfTaps;
    return kFrameSamples * (waitsForRedundancy() ? 1 : 0) + span + slackSamples;
}

int32_t DecisionLogic::startOffset(double delay, double target, int32_t pullSamples) const {
    const double lead = std::ceil(target - delay);
    if (lead >= pullSamples) return -1;
    return lead <= 0.0 ? 0 : static_cast<int32_t>(lead);
}

int64_t DecisionLogic::flushSamples(double delay, double target) const {
    const double excess = delay - target;
    if (excess <= config_.flushExcessUs * kSamplesPerUs) return 0;
    return static_cast<int64_t>(std::floor(excess - RateController::kBandSamples / 2));
}

bool DecisionLogic::insertFrame(double delay, double target) const {
    return target - delay > kInsertShortfallUs * kSamplesPerUs;
}

DecisionLogic::Stray DecisionLogic::stray(bool othersWaiting, bool behind, int64_t sinceArrivalUs, double latenessUs,
                                          int32_t newestRun) const {
    if (othersWaiting) return Stray::Discard;  // the stream goes on inside the window
    if (sinceArrivalUs < kStraySettleUs) return Stray::Wait;
    if (behind && latenessUs < kReanchorLatenessUs && newestRun < kReanchorRun) return Stray::Discard;
    return Stray::Reanchor;
}

bool DecisionLogic::feedsDelay(bool behind, double latenessUs, int32_t allowanceUs) const {
    return !behind || latenessUs <= allowanceUs + kBacklogUs;
}

}  // namespace vexlink
