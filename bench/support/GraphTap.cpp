#include "GraphTap.h"

#include <algorithm>
#include <cstring>

#include "audio/AudioFormat.h"
#include "control/AdaptiveFeed.h"
#include "control/LatencyProbe.h"

namespace vexlink::bench {

GraphTap::GraphTap(AdaptiveFeed& feed, LatencyProbe* probe, size_t maxSamples)
    : feed_(feed), probe_(probe), log_(new int16_t[maxSamples]), room_(maxSamples) {
    std::fill(log_.get(), log_.get() + room_, int16_t{0});  // no page faults on the data thread
    feed_.setObserver(this);
}

int32_t GraphTap::pull(int16_t* out, int32_t samples, uint64_t nowUs) {
    startCount_ = 0;
    const int32_t got = std::clamp(feed_.pull(out, samples, nowUs), 0, std::max(samples, 0));
    if (written_ + static_cast<uint64_t>(samples) <= room_) {
        std::memcpy(log_.get() + written_, out, static_cast<size_t>(got) * sizeof(int16_t));
        std::fill(log_.get() + written_ + got, log_.get() + written_ + samples, int16_t{0});
    } else {
        ++overflows_;
    }
    if (probe_ != nullptr) {
        for (int32_t i = 0; i < startCount_; ++i) {
            const Start& s = starts_[i];
            // Heard when its first sample is due: the cycle's time plus its place in the cycle.
            const uint64_t dueUs = nowUs + static_cast<uint64_t>(s.offset) * 1000000u / kSampleRate;
            probe_->onFramePlayed(s.sequence, s.timestamp, written_ + static_cast<uint64_t>(s.offset), dueUs);
        }
    }
    written_ += static_cast<uint64_t>(std::max(samples, 0));
    return got;
}

void GraphTap::onFrameStart(int64_t sequence, Frame frame, int32_t offset, uint32_t timestamp) {
    if (frame != Frame::Played || startCount_ == kMaxStarts) return;
    starts_[startCount_++] = Start{static_cast<uint16_t>(sequence), timestamp, offset};
}

std::vector<int16_t> GraphTap::output() const {
    return std::vector<int16_t>(log_.get(), log_.get() + std::min<uint64_t>(written_, room_));
}

}  // namespace vexlink::bench
