#pragma once

#include <atomic>

#include "StrategyView.h"

namespace vexlink {
class MicController;
}  // namespace vexlink

namespace vexlink::bench {

// The adaptive playout as the benchmark sees it: its own counters by cause
// (as published after its last pull), FEC rebuilds, its target delay and
// resampling ratio. The depth is the buffered delay in frames (rounded up),
// the most seen at the moments the probe asked.
class AdaptiveStrategyView final : public StrategyView {
public:
    AdaptiveStrategyView(const MicController& controller, const char* name) : controller_(controller), name_(name) {}
    const char* name() const override { return name_; }
    PlayoutCounters counters() const override;
    bool control(double& targetMs, double& ratioPpm) const override;

private:
    const MicController& controller_;
    const char* name_;
    mutable std::atomic<int32_t> maxDelaySamples_{0};
};

}  // namespace vexlink::bench
