#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/phonesim/ImpairmentModel.h"

namespace vexlink::bench {

// One packet as it reaches the client: when (microseconds of media time,
// where 0 is the moment frame 0 was due), which frame, and its Opus payload.
struct TraceArrival {
    uint64_t arrivalUs = 0;
    uint32_t index = 0;
    uint32_t timestampMs = 0;
    uint16_t payloadSize = 0;
    uint8_t payload[1275] = {};
};

// A deterministic arrival trace: the simulator's signal (TremoloSignal)
// encoded frame by frame as the simulator does (VOIP, 32 kbit/s, complexity
// 5), shaped by the simulator's impairment model, on a loopback network that
// adds nothing. Arrivals are in time order (ties in the order planned).
std::vector<TraceArrival> buildArrivalTrace(const phonesim::ImpairmentConfig& impairments, size_t frames);

}  // namespace vexlink::bench
