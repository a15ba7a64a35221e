#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/phonesim/SimulatorConfig.h"

namespace vexlink::bench {

// The voice as the client would hear it with nothing lost: the simulator's
// signal encoded exactly as the simulator encodes it (the same settings,
// frame after frame from index 0, so libopus gives the same packets), every
// packet decoded in order by the client's decoder and given the client's
// gain. Frame i is at samples [i * 960, (i + 1) * 960).
std::vector<int16_t> referenceVoice(const phonesim::MediaConfig& media, size_t frames);

}  // namespace vexlink::bench
