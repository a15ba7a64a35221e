#include "control/ReconnectPolicy.h"

#include <algorithm>

#include "control/ControllerTypes.h"
#include "control/Settings.h"

namespace vexlink {

bool ReconnectPolicy::retries(int32_t result) {
    return result != kResultOk && result != kResultMismatch && result != kResultBadTransport;
}

bool ReconnectPolicy::followsEnd(int32_t result) { return Settings::getReconnect() && retries(result); }

ReconnectPolicy::ReconnectPolicy(int32_t firstWaitMs, int32_t longestWaitMs)
    : firstWaitMs_(std::max(firstWaitMs, 1)),
      longestWaitMs_(std::max(longestWaitMs, firstWaitMs_)),
      nextWaitMs_(firstWaitMs_) {}

int32_t ReconnectPolicy::nextWaitMs(bool carriedVoice) {
    if (carriedVoice) nextWaitMs_ = firstWaitMs_;
    const int32_t wait = nextWaitMs_;
    // Doubling stops at the longest wait, so it never overflows.
    nextWaitMs_ = wait > longestWaitMs_ - wait ? longestWaitMs_ : wait * 2;
    return wait;
}

}  // namespace vexlink
