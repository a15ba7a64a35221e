#include "playout/RingPlayout.h"

#include "playout/AdaptivePlayout.h"
#include "playout/PacketRing.h"

namespace vexlink {

namespace {
// Session numbers wrap; a newer one is ahead by less than half the range.
bool newer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }
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
    return playout_.pull(out, samples, nowUs);
}

}  // namespace vexlink
