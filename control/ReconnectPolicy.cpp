#include "control/ReconnectPolicy.h"

#include <algorithm>

#include "control/ControllerTypes.h"
#include "settings/Settings.h"

namespace vexlink {

bool ReconnectPolicy::retries(int32_t result) {
    return result != kResultOk && result != kResultMismatch && result != kResultBadTransport;
}

bool ReconnectPolicy::followsEnd(int32_t result) { return Settings::getReconnect() && retries(result); }

int32_t ReconnectPolicy::nextWaitMs(bool carriedVoice) {
    if (carriedVoice) nextWaitMs_ = kFirstWaitMs;
    const int32_t wait = nextWaitMs_;
    nextWaitMs_ = std::min(wait * 2, kLongestWaitMs);
    return wait;
}

}  // namespace vexlink
