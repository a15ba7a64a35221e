#pragma once

#include "StrategyView.h"

namespace vexlink {
class MicController;
class ReceptionStats;
}  // namespace vexlink

namespace vexlink::bench {

// The queue-paced tick as the benchmark sees it: concealed ticks (it cannot
// tell why), trimmed frames (flush) and frames pushed out of the full queue
// (overflow; counted into the statistics only when the connection ends).
class TickStrategyView final : public StrategyView {
public:
    TickStrategyView(const MicController& controller, const ReceptionStats& stats)
        : controller_(controller), stats_(stats) {}
    const char* name() const override { return "tick"; }
    PlayoutCounters counters() const override;

private:
    const MicController& controller_;
    const ReceptionStats& stats_;
};

}  // namespace vexlink::bench
