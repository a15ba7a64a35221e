// Frames found in a made-up capture: the node's output behind some silence,
// one cycle of the capture lost on the way.

#include <gtest/gtest.h>

#include <vector>

#include "CaptureTiming.h"

namespace vexlink::bench {
namespace {

TEST(CaptureTiming, FramesAreFoundAcrossALostCycleAndTimedByTheirPlaceInTheBuffer) {
    constexpr uint32_t kCycle = 256;
    std::vector<int16_t> output(40 * 960);
    for (size_t i = 0; i < output.size(); ++i) output[i] = int16_t((i * 7919) % 60000 - 30000);
    // The capture starts 1000 samples before the node's first cycle and
    // misses the node's 60th cycle (samples 15360..15615).
    std::vector<int16_t> captured(1000, 0);
    captured.insert(captured.end(), output.begin(), output.begin() + 60 * kCycle);
    captured.insert(captured.end(), output.begin() + 61 * kCycle, output.end());
    std::vector<PipeWireCapture::Buffer> buffers;
    for (uint64_t first = 0; first < captured.size(); first += kCycle) {
        // Each buffer handed over 1 ms after its first sample's nominal time.
        buffers.push_back({first, kCycle, 0, 1000000 + first * 1000000 / 48000 + 1000});
    }
    std::vector<SentFrame> sent(40);
    std::vector<PlayedFrame> played;
    for (uint32_t i = 0; i < 40; ++i) {
        sent[i].firstSendUs = int64_t(1000000 + i * 20000);
        played.push_back({i, uint64_t(i) * 960 + 100, 0});
    }
    const CaptureFigures f = timeCapture({&sent, &played, &output, &captured, &buffers});
    EXPECT_EQ(f.frames, 40u);
    EXPECT_EQ(f.located, 38u);  // frames 15 and 16 have samples in the lost cycle
    // A frame's first sample is captured 1 ms after its place in the capture
    // (1000 + 960 i + 100 samples, 256 fewer after the loss); it was sent at
    // 20 i ms: 23 frames after the loss, 15 before it.
    EXPECT_NEAR(f.sendCapture.p50, (1100 - 256) / 48.0 + 1.0, 0.01);
    EXPECT_NEAR(f.sendCapture.p99, 1100 / 48.0 + 1.0, 0.01);
}

}  // namespace
}  // namespace vexlink::bench
