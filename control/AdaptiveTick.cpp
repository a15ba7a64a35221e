#include "control/AdaptiveTick.h"

#include <algorithm>

#include "control/AdaptiveFeed.h"
#include "control/FrameSink.h"
#include "control/LatencyProbe.h"
#include "platform/Clock.h"

namespace vexlink {

AdaptiveTick::AdaptiveTick(AdaptiveFeed& feed, FrameSink& sink) : feed_(feed), sink_(sink) {
    feed_.setObserver(this);
}

void AdaptiveTick::beginConnection(bool fillWhileEmpty) {
    fillWhileEmpty_ = fillWhileEmpty;
    written_ = false;
    rephased_ = false;
    polls_ = 0;
    outputSamples_ = 0;
}

uint64_t AdaptiveTick::tick(uint64_t scheduledUs) {
    if (!written_ && !fillWhileEmpty_ && !rephased_) {
        const int64_t lead = feed_.samplesUntilStart(kFrameSamples, scheduledUs);
        // No packet yet: look again soon.
        if (lead < 0 && polls_ < kMaxPolls) {
            ++polls_;
            return scheduledUs + kPollUs;
        }
        // Not ready within this tick: the next one looks again.
        if (lead >= kFrameSamples) return 0;
        if (lead > 0) {
            // Ready within this tick: nothing now, the next tick when it is.
            rephased_ = true;
            return scheduledUs + static_cast<uint64_t>((lead * 1000000 + kSampleRate - 1) / kSampleRate);
        }
    }
    if (!written_ || scheduledUs < firstWriteUs_) firstWriteUs_ = scheduledUs;
    // What the device has played since the first write, and a block ahead.
    const uint64_t played = (scheduledUs - firstWriteUs_) * kSampleRate / 1000000;
    const int64_t owed = static_cast<int64_t>(played + kFrameSamples - outputSamples_);
    const auto count = static_cast<int32_t>(std::clamp<int64_t>(owed, 0, kMaxWrite));
    startCount_ = 0;
    if (count > 0 && feed_.pull(block_, count, scheduledUs) <= 0) {
        if (!fillWhileEmpty_) return 0;
        std::fill(block_, block_ + count, int16_t{0});
    }
    sink_.playSamples(block_, count);
    written_ = true;
    if (probe_ != nullptr && startCount_ > 0) {
        const uint64_t nowUs = monotonicUs();
        for (int32_t i = 0; i < startCount_; ++i) {
            const Start& s = starts_[i];
            probe_->onFramePlayed(s.sequence, s.timestamp, outputSamples_ + static_cast<uint64_t>(s.offset),
                                  nowUs + static_cast<uint64_t>(s.offset) * 1000000u / kSampleRate);
        }
    }
    outputSamples_ += static_cast<uint64_t>(count);
    const uint64_t nextUs = feed_.nextPullUs();
    if (nextUs == 0) return 0;
    return std::clamp(nextUs, scheduledUs + kMinStepUs, scheduledUs + kMaxStepUs);
}

void AdaptiveTick::onFrameStart(int64_t sequence, Frame frame, int32_t offset, uint32_t timestamp) {
    if (frame != Frame::Played || startCount_ == kMaxStarts) return;
    starts_[startCount_++] = Start{static_cast<uint16_t>(sequence), timestamp, offset};
}

}  // namespace vexlink
