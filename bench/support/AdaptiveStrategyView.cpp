#include "AdaptiveStrategyView.h"

#include <algorithm>

#include "audio/AudioFormat.h"
#include "control/MicController.h"
#include "media/ReceptionStats.h"

namespace vexlink::bench {

PlayoutCounters AdaptiveStrategyView::counters() const {
    const vexlink::PlayoutCounters a = controller_.adaptiveFigures();
    if (a.currentDelaySamples > maxDelaySamples_.load(std::memory_order_relaxed)) {
        maxDelaySamples_.store(a.currentDelaySamples, std::memory_order_relaxed);
    }
    PlayoutCounters c;
    c.concealedLost = static_cast<int64_t>(a.concealedLost);
    c.concealedLate = static_cast<int64_t>(a.concealedLate);
    c.concealedUnderrun = static_cast<int64_t>(a.concealedUnderrun);
    c.concealed = static_cast<int64_t>(a.concealed());
    c.discardedDuplicate = static_cast<int64_t>(a.discardedDuplicate);
    c.discardedLate = static_cast<int64_t>(a.discardedLate);
    c.discardedFlush = static_cast<int64_t>(a.discardedFlush);
    // What the playout threw away and the ring refused (0 until the end).
    const int64_t refused = std::max<int64_t>(0, static_cast<int64_t>(stats_.dropped) - static_cast<int64_t>(a.discarded()));
    c.discardedOverflow = static_cast<int64_t>(a.discardedOverflow) + refused;
    c.discarded = static_cast<int64_t>(a.discarded()) + refused;
    c.fecRecovered = static_cast<int64_t>(a.framesFromRedundancy);
    c.maxDepth = (maxDelaySamples_.load(std::memory_order_relaxed) + kFrameSamples - 1) / kFrameSamples;
    return c;
}

bool AdaptiveStrategyView::control(double& targetMs, double& ratioPpm) const {
    const vexlink::PlayoutCounters a = controller_.adaptiveFigures();
    targetMs = a.targetDelaySamples * 1000.0 / kSampleRate;
    ratioPpm = (a.ratio - 1.0) * 1e6;
    return true;
}

}  // namespace vexlink::bench
