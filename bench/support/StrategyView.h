#pragma once

#include "PlayoutCounters.h"

namespace vexlink::bench {

// The benchmark's window on the playout strategy under test.
//
// Threads: counters() and control() are called on the timer thread (from the
// probe, at each real frame) and on the benchmark's thread after the
// connection ended; implementations read relaxed counters only.
class StrategyView {
public:
    virtual ~StrategyView() = default;
    virtual const char* name() const = 0;
    virtual PlayoutCounters counters() const = 0;
    // The control state of a strategy that has one: its target delay and its
    // resampling ratio in ppm off 1 (positive: playing faster). False: none.
    virtual bool control(double& targetMs, double& ratioPpm) const {
        (void)targetMs;
        (void)ratioPpm;
        return false;
    }
};

}  // namespace vexlink::bench
