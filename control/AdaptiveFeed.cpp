#include "control/AdaptiveFeed.h"

#include <algorithm>
#include <cstring>

#include "playout/AdaptivePlayout.h"
#include "playout/PacketRing.h"
#include "playout/RingPlayout.h"

namespace vexlink {

AdaptiveFeed::AdaptiveFeed(const PlayoutConfig& config)
    : ring_(std::make_unique<PacketRing>(kRingSlots)),
      playout_(std::make_unique<AdaptivePlayout>(config)),
      puller_(std::make_unique<RingPlayout>(*ring_, *playout_)) {}

AdaptiveFeed::~AdaptiveFeed() = default;

void AdaptiveFeed::setObserver(PlayoutObserver* observer) { playout_->setObserver(observer); }

void AdaptiveFeed::beginConnection(int32_t serverVersion) {
    ring_->beginSession(serverVersion);
    ringDropsBefore_ = ring_->dropped();
    active_.store(true, std::memory_order_release);
}

uint32_t AdaptiveFeed::endConnection(PlayoutCounters* counters) {
    active_.store(false, std::memory_order_release);
    uint32_t session = 0;
    PlayoutCounters c = puller_->published(&session);
    // Nothing pulled during this connection (a graph that never ran the
    // node): the figures are an earlier connection's.
    if (session != ring_->session()) c = PlayoutCounters{};
    if (counters != nullptr) *counters = c;
    const uint64_t dropped = ring_->dropped() - ringDropsBefore_ + c.discarded();
    return static_cast<uint32_t>(std::min<uint64_t>(dropped, UINT32_MAX));
}

int32_t AdaptiveFeed::pull(int16_t* out, int32_t samples, uint64_t nowUs) {
    if (!active_.load(std::memory_order_acquire)) return 0;
    const int32_t pulled = puller_->pull(out, samples, nowUs);
    if (pulled > 0) publishStatus(out, pulled);
    return pulled;
}

void AdaptiveFeed::publishStatus(const int16_t* out, int32_t samples) {
    const PlayoutCounters& c = playout_->counters();
    if (c.discardedLate < lateSeen_ || c.concealed() < concealedSeen_) lateSeen_ = concealedSeen_ = 0;  // a new session
    for (; lateSeen_ < c.discardedLate; ++lateSeen_) status_.frameLate();
    while (samples > 0) {
        const int32_t n = std::min(samples, kFrameSamples - slotFill_);
        std::memcpy(slot_ + slotFill_, out, static_cast<size_t>(n) * sizeof(int16_t));
        slotFill_ += n;
        out += n;
        samples -= n;
        if (slotFill_ < kFrameSamples) break;
        slotFill_ = 0;
        // A frame that arrives now waits until playout reaches its start:
        // the buffered delay less the frame itself.
        const int32_t waitSamples = std::max(c.currentDelaySamples - kFrameSamples, 0);
        status_.framePlayed(slot_, c.concealed() > concealedSeen_, waitSamples * 1000 / kSampleRate);
        concealedSeen_ = c.concealed();
    }
}

int64_t AdaptiveFeed::samplesUntilStart(int32_t samples, uint64_t nowUs) {
    if (!active_.load(std::memory_order_acquire)) return -1;
    return puller_->samplesUntilStart(samples, nowUs);
}

uint64_t AdaptiveFeed::nextPullUs() const {
    return active_.load(std::memory_order_acquire) ? playout_->nextPullUs() : 0;
}

PlayoutCounters AdaptiveFeed::figures() const { return puller_->published(); }

}  // namespace vexlink
