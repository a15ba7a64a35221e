#pragma once

#include <cstdint>

#include "playout/DelayHistogram.h"
#include "playout/PlayoutConfig.h"

namespace vexlink {

// The jitter allowance: how far behind the expected arrival schedule a
// packet may come and still be in time, chosen so that the given quantile
// of packets are. Per interval (100 ms) only the largest delay seen goes
// into a 1 ms histogram whose forget factor (0.983) applies once per
// interval: a burst of jitter then fades out of the 0.95 quantile within
// about 18 s (0.983^175 < 0.05). Lost packets never reach it; the caller
// keeps duplicates and the backlog of a stall out.
// Threads: one thread only.
class DelayManager {
public:
    static constexpr int32_t kBucketUs = 1000;
    static constexpr int64_t kLearningIntervals = 10;

    explicit DelayManager(const PlayoutConfig& config);

    void reset();
    // One packet's delay behind the schedule (negative counts as 0), at its arrival time.
    void onPacketDelay(int64_t delayUs, uint64_t arrivalUs);
    // Takes `us` off every delay seen so far: what a schedule that ran at
    // the nominal rate, before the sender's clock was known, added to them.
    void discount(int32_t us);
    // The start value until the first interval has closed, then the upper
    // edge of the quantile's bucket.
    int32_t allowanceUs() const { return allowanceUs_; }
    // Fewer than kLearningIntervals intervals have closed: the allowance
    // still rises as the jitter shows itself.
    bool learning() const { return histogram_.adds() < kLearningIntervals; }

private:
    DelayHistogram histogram_;
    double quantile_;
    int32_t intervalUs_;
    int32_t startUs_;
    int32_t allowanceUs_;
    bool intervalOpen_ = false;
    uint64_t intervalStartUs_ = 0;
    int64_t intervalMaxUs_ = 0;
};

}  // namespace vexlink
