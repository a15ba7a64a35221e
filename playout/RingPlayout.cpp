#include "playout/RingPlayout.h"

#include "playout/AdaptivePlayout.h"
#include "playout/PacketRing.h"

namespace vexlink {

namespace {
// Session numbers wrap; a newer one is ahead by less than half the range.
bool newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

constexpr auto kRelaxed = std::memory_order_relaxed;
}  // namespace

void RingPlayout::drain() {
    while (const PacketRing::Item* item = ring_.front()) {
        if (newer(item->session, session_)) {
            session_ = item->session;
            playout_.startSession(item->serverVersion);
        }
        if (item->session == session_) playout_.insert(item->packet, item->arrivalUs);
        ring_.pop();
    }
    // A session begun with no packet yet still starts afresh.
    const uint32_t latest = ring_.session();
    if (newer(latest, session_)) {
        session_ = latest;
        playout_.startSession(ring_.sessionVersion());
    }
}

int32_t RingPlayout::pull(int16_t* out, int32_t samples, uint64_t nowUs) {
    drain();
    const int32_t pulled = playout_.pull(out, samples, nowUs);
    publish();
    return pulled;
}

int64_t RingPlayout::samplesUntilStart(int32_t samples, uint64_t nowUs) {
    drain();
    return playout_.samplesUntilStart(samples, nowUs);
}

void RingPlayout::publish() {
    const PlayoutCounters& c = playout_.counters();
    framesPlayed_.store(c.framesPlayed, kRelaxed);
    concealedLost_.store(c.concealedLost, kRelaxed);
    concealedLate_.store(c.concealedLate, kRelaxed);
    concealedUnderrun_.store(c.concealedUnderrun, kRelaxed);
    discardedDuplicate_.store(c.discardedDuplicate, kRelaxed);
    discardedLate_.store(c.discardedLate, kRelaxed);
    discardedFlush_.store(c.discardedFlush, kRelaxed);
    discardedOverflow_.store(c.discardedOverflow, kRelaxed);
    framesInserted_.store(c.framesInserted, kRelaxed);
    framesFromRedundancy_.store(c.framesFromRedundancy, kRelaxed);
    reanchors_.store(c.reanchors, kRelaxed);
    flushes_.store(c.flushes, kRelaxed);
    targetDelaySamples_.store(c.targetDelaySamples, kRelaxed);
    currentDelaySamples_.store(c.currentDelaySamples, kRelaxed);
    ratio_.store(c.ratio, kRelaxed);
    publishedSession_.store(session_, kRelaxed);
}

PlayoutCounters RingPlayout::published(uint32_t* session) const {
    PlayoutCounters c;
    if (session != nullptr) *session = publishedSession_.load(kRelaxed);
    c.framesPlayed = framesPlayed_.load(kRelaxed);
    c.concealedLost = concealedLost_.load(kRelaxed);
    c.concealedLate = concealedLate_.load(kRelaxed);
    c.concealedUnderrun = concealedUnderrun_.load(kRelaxed);
    c.discardedDuplicate = discardedDuplicate_.load(kRelaxed);
    c.discardedLate = discardedLate_.load(kRelaxed);
    c.discardedFlush = discardedFlush_.load(kRelaxed);
    c.discardedOverflow = discardedOverflow_.load(kRelaxed);
    c.framesInserted = framesInserted_.load(kRelaxed);
    c.framesFromRedundancy = framesFromRedundancy_.load(kRelaxed);
    c.reanchors = reanchors_.load(kRelaxed);
    c.flushes = flushes_.load(kRelaxed);
    c.targetDelaySamples = targetDelaySamples_.load(kRelaxed);
    c.currentDelaySamples = currentDelaySamples_.load(kRelaxed);
    c.ratio = ratio_.load(kRelaxed);
    return c;
}

}  // namespace vexlink
