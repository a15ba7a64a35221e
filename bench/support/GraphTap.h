#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio/SampleSource.h"
#include "playout/PlayoutObserver.h"

namespace vexlink {
class AdaptiveFeed;
class LatencyProbe;
}  // namespace vexlink

namespace vexlink::bench {

// Between the PipeWire node and the adaptive playout it pulls from: passes
// every pull on, keeps a copy of what the node hands to the graph (the
// pulled samples and the silence the node adds after them), and tells the
// probe where each real frame's first sample lies in that output and when
// it is due: the graph time of its cycle plus its place in the cycle.
//
// Threads: the node's data thread pulls (and the playout reports frame
// starts within the pull); output() after the node has closed.
class GraphTap final : public SampleSource, private PlayoutObserver {
public:
    // Becomes the feed's observer.
    GraphTap(AdaptiveFeed& feed, LatencyProbe* probe, size_t maxSamples);

    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs) override;

    std::vector<int16_t> output() const;
    uint64_t overflows() const { return overflows_; }

private:
    struct Start {
        uint16_t sequence;
        uint32_t timestamp;
        int32_t offset;
    };
    static constexpr int32_t kMaxStarts = 64;  // a pull of up to 64 frames (1.3 s)

    void onFrameStart(int64_t sequence, Frame frame, int32_t offset, uint32_t timestamp) override;

    AdaptiveFeed& feed_;
    LatencyProbe* probe_;
    std::unique_ptr<int16_t[]> log_;
    size_t room_;
    uint64_t written_ = 0;
    uint64_t overflows_ = 0;
    Start starts_[kMaxStarts] = {};
    int32_t startCount_ = 0;
};

}  // namespace vexlink::bench
