#pragma once

#include "PlayoutReplay.h"
#include "audio/OpusVoiceDecoder.h"
#include "control/FrameSink.h"
#include "control/PlayoutQueue.h"
#include "control/PlayoutTick.h"
#include "media/ReceptionStats.h"

namespace vexlink::bench {

// The queue-paced tick as the client runs it: each arrival is decoded into a
// VoicePacket and queued (bounded as the receive thread bounds it), and each
// 20 ms PlayoutTick::tick() plays into a sink that drops the frame.
class TickReplay final : public PlayoutReplay {
public:
    TickReplay();
    ~TickReplay() override;
    void arrive(const TraceArrival& arrival, uint64_t nowUs) override;
    void play(uint64_t nowUs) override;
    uint64_t framesPlayed() const override { return tick_.figures().freshFrames; }
    uint64_t framesConcealed() const override { return tick_.figures().concealedTicks; }

private:
    struct NullSink final : FrameSink {
        void playSamples(const int16_t*, int32_t) override {}
    };

    OpusVoiceDecoder decoder_;
    PlayoutQueue queue_;
    NullSink sink_;
    ReceptionStats stats_;
    PlayoutTick tick_;
};

}  // namespace vexlink::bench
