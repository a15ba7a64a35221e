#pragma once

#include <atomic>

#include "StrategyView.h"

namespace vexlink {
class MicController;
class ReceptionStats;
}  // namespace vexlink

namespace vexlink::bench {

// The adaptive playout as the benchmark sees it: its own counters by cause
// (as published after its last pull), FEC rebuilds, its target delay and
// resampling ratio. The depth is the buffered delay in frames (rounded up),
// the most seen at the moments the probe asked. Packets the full packet ring
// refused count as overflow once the connection has ended (the statistics
// then hold them).
class AdaptiveStrategyView final : public StrategyView {
public:
    AdaptiveStrategyView(const MicController& controller, const ReceptionStats& stats, const char* name)
        : controller_(controller), stats_(stats), name_(name) {}
    const char* name() const override { return name_; }
    PlayoutCounters counters() const override;
    bool control(double& targetMs, double& ratioPpm) const override;

private:
    const MicController& controller_;
    const ReceptionStats& stats_;
    const char* name_;
    mutable std::atomic<int32_t> maxDelaySamples_{0};
};

}  // namespace vexlink::bench
