#pragma once

#include <cstdint>

#include "PlayoutReplay.h"
#include "audio/AudioFormat.h"
#include "control/AdaptiveFeed.h"
#include "media/RawMediaPacket.h"
#include "playout/PlayoutConfig.h"

namespace vexlink::bench {

// The adaptive playout as the client runs it: each arrival is copied into
// the packet ring as the receive thread does (not decoded), and every 20 ms
// the consumer pulls 960 samples (the ring drained into the core, decoding
// and concealment, resampling, the status it publishes).
class AdaptiveReplay final : public PlayoutReplay {
public:
    explicit AdaptiveReplay(Concealment concealment);
    ~AdaptiveReplay() override;
    void arrive(const TraceArrival& arrival, uint64_t nowUs) override;
    void play(uint64_t nowUs) override;
    uint64_t framesPlayed() const override { return feed_.figures().framesPlayed; }
    uint64_t framesConcealed() const override { return feed_.figures().concealed(); }

private:
    static PlayoutConfig configFor(Concealment concealment);

    AdaptiveFeed feed_;
    RawMediaPacket packet_;
    int16_t out_[kFrameSamples] = {};
};

}  // namespace vexlink::bench
