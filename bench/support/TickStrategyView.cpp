#include "TickStrategyView.h"

#include "control/MicController.h"
#include "media/ReceptionStats.h"

namespace vexlink::bench {

PlayoutCounters TickStrategyView::counters() const {
    const PlayoutFigures f = controller_.playoutFigures();
    PlayoutCounters c;
    c.concealed = f.concealedTicks;
    c.discardedFlush = f.droppedFrames;
    // Trimmed by the tick, and (once the connection has ended) the frames
    // the full queue pushed out.
    c.discarded = stats_.dropped;
    c.discardedOverflow = static_cast<int64_t>(stats_.dropped) - f.droppedFrames;
    c.maxDepth = f.maxQueueDepth;
    return c;
}

}  // namespace vexlink::bench
