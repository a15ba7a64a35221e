#include "playout/DelayManager.h"

#include <algorithm>

namespace vexlink {

namespace {
// The first few observations weigh as much as everything before them.
constexpr double kStartWeight = 2.0;
}  // namespace

DelayManager::DelayManager(const PlayoutConfig& config)
    : histogram_(config.forgetFactor, kStartWeight),
      quantile_(config.quantile),
      intervalUs_(config.intervalUs),
      startUs_(config.startJitterUs),
      allowanceUs_(config.startJitterUs) {}

void DelayManager::reset() {
    histogram_.reset();
    allowanceUs_ = startUs_;
    intervalOpen_ = false;
    intervalMaxUs_ = 0;
}

void DelayManager::discount(int32_t us) {
    if (us <= 0) return;
    intervalMaxUs_ = std::max<int64_t>(intervalMaxUs_ - us, 0);
    if (histogram_.adds() == 0) return;
    histogram_.shiftDown(us / kBucketUs);
    allowanceUs_ = (histogram_.quantile(quantile_) + 1) * kBucketUs;
}

void DelayManager::onPacketDelay(int64_t delayUs, uint64_t arrivalUs) {
    delayUs = std::max<int64_t>(delayUs, 0);
    if (intervalOpen_ && arrivalUs >= intervalStartUs_ + static_cast<uint64_t>(intervalUs_)) {
        histogram_.add(static_cast<int32_t>(std::min<int64_t>(intervalMaxUs_ / kBucketUs, DelayHistogram::kBuckets)));
        allowanceUs_ = (histogram_.quantile(quantile_) + 1) * kBucketUs;
        intervalOpen_ = false;
    }
    if (!intervalOpen_) {
        intervalOpen_ = true;
        intervalStartUs_ = arrivalUs;
        intervalMaxUs_ = delayUs;
        return;
    }
    intervalMaxUs_ = std::max(intervalMaxUs_, delayUs);
}

}  // namespace vexlink
