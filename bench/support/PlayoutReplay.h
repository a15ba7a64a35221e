#pragma once

#include <cstdint>

#include "ArrivalTrace.h"

namespace vexlink::bench {

// One playout strategy driven by a recorded arrival trace on a clock the
// replay advances by hand, single-threaded: every arrival is handed over at
// its time, and every 20 ms the strategy writes one frame of output.
class PlayoutReplay {
public:
    virtual ~PlayoutReplay() = default;
    virtual void arrive(const TraceArrival& arrival, uint64_t nowUs) = 0;
    virtual void play(uint64_t nowUs) = 0;
    // Real frames played and frames' worth concealed, for a sanity line.
    virtual uint64_t framesPlayed() const = 0;
    virtual uint64_t framesConcealed() const = 0;
};

}  // namespace vexlink::bench
