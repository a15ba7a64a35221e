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
    startCount_ = 0;
    if (feed_.pull(frame_, kFrameSamples, scheduledUs) <= 0) {
        if (!fillWhileEmpty_) return 0;
        std::fill(std::begin(frame_), std::end(frame_), int16_t{0});
    }
    sink_.playFrame(frame_);
    written_ = true;
    if (probe_ != nullptr && startCount_ > 0) {
        const uint64_t nowUs = monotonicUs();
        for (int32_t i = 0; i < startCount_; ++i) {
            const Start& s = starts_[i];
            probe_->onFramePlayed(s.sequence, s.timestamp, outputSamples_ + static_cast<uint64_t>(s.offset), nowUs);
        }
    }
    outputSamples_ += kFrameSamples;
    return 0;
}

void AdaptiveTick::onFrameStart(int64_t sequence, Frame frame, int32_t offset, uint32_t timestamp) {
    if (frame != Frame::Played || startCount_ == kMaxStarts) return;
    starts_[startCount_++] = Start{static_cast<uint16_t>(sequence), timestamp, offset};
}

}  // namespace vexlink
