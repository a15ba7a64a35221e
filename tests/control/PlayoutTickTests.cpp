#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "control/FrameSink.h"
#include "control/LatencyProbe.h"
#include "control/PlayoutQueue.h"
#include "control/PlayoutTick.h"
#include "control/Settings.h"
#include "media/ReceptionStats.h"

namespace vexlink {
namespace {

using Frame = std::array<int16_t, kFrameSamples>;

class RecordingSink final : public FrameSink {
public:
    void playFrame(const int16_t* samples) override {
        Frame f;
        std::copy(samples, samples + kFrameSamples, f.begin());
        frames.push_back(f);
    }
    std::vector<Frame> frames;
};

// A frame whose samples span the range, so truncation of the scaled values
// is visible on both signs.
std::unique_ptr<VoicePacket> rampPacket(int16_t base) {
    auto p = std::make_unique<VoicePacket>();
    for (int i = 0; i < kFrameSamples; ++i) {
        p->samples[i] = static_cast<int16_t>(base + (i % 97) * 331 - 16000);
    }
    p->sequence = static_cast<uint32_t>(base);
    return p;
}

Frame framesOf(const VoicePacket& p) {
    Frame f;
    std::copy(p.samples, p.samples + kFrameSamples, f.begin());
    return f;
}

Frame scaled(const Frame& in, double gain) {
    Frame out;
    for (int i = 0; i < kFrameSamples; ++i) {
        out[i] = static_cast<int16_t>(static_cast<double>(in[i]) * gain);  // truncation toward zero
    }
    return out;
}

class PlayoutTickTest : public ::testing::Test {
protected:
    void SetUp() override { Settings::resetForTest(); }

    PlayoutQueue queue;
    RecordingSink sink;
    ReceptionStats stats;
    PlayoutTick tick{queue, sink, stats};
};

TEST_F(PlayoutTickTest, WritesNothingBeforeTheFirstPacket) {
    tick.beginConnection();
    for (int i = 0; i < 30; ++i) tick.tick();
    EXPECT_TRUE(sink.frames.empty());
    EXPECT_EQ(tick.figures().concealedTicks, 0u);
}

TEST_F(PlayoutTickTest, OnePacketThenSilenceRepeatsAtFullLevelThenFadesToSilence) {
    tick.beginConnection();
    auto packet = rampPacket(100);
    const Frame original = framesOf(*packet);
    queue.pushBack(std::move(packet));

    constexpr int kTicks = 1 + 1 + 15 + 5;  // fresh, full repeat, 15/16..1/16, silence
    for (int i = 0; i < kTicks; ++i) tick.tick();
    ASSERT_EQ(sink.frames.size(), static_cast<size_t>(kTicks));

    EXPECT_EQ(sink.frames[0], original);  // fresh
    EXPECT_EQ(sink.frames[1], original);  // first repetition at full level
    for (int step = 1; step <= 15; ++step) {
        const double gain = (16.0 - step) / 16.0;
        EXPECT_EQ(sink.frames[1 + step], scaled(original, gain)) << "repetition " << step + 1;
    }
    const Frame silence{};
    for (size_t i = 17; i < sink.frames.size(); ++i) EXPECT_EQ(sink.frames[i], silence) << "tick " << i;

    const PlayoutFigures f = tick.figures();
    EXPECT_EQ(f.freshFrames, 1u);
    EXPECT_EQ(f.concealedTicks, static_cast<uint32_t>(kTicks - 1));
}

TEST_F(PlayoutTickTest, SilenceContinuesForALongUnderrunWithoutOverflow) {
    tick.beginConnection();
    queue.pushBack(rampPacket(7));
    for (int i = 0; i < 1000; ++i) tick.tick();
    const Frame silence{};
    EXPECT_EQ(sink.frames.back(), silence);
    EXPECT_EQ(sink.frames.size(), 1000u);
    EXPECT_LE(tick.repeatCount(), PlayoutTick::kFadeSteps + 1);
}

TEST_F(PlayoutTickTest, PacketMidFadePlaysAtFullLevelAndRestartsTheFade) {
    tick.beginConnection();
    queue.pushBack(rampPacket(1));
    for (int i = 0; i < 6; ++i) tick.tick();  // fresh, full, 15/16, 14/16, 13/16, 12/16
    ASSERT_EQ(tick.repeatCount(), 5);

    auto second = rampPacket(2000);
    const Frame secondFrame = framesOf(*second);
    queue.pushBack(std::move(second));
    tick.tick();
    EXPECT_EQ(sink.frames.back(), secondFrame);
    EXPECT_EQ(tick.repeatCount(), 0);

    tick.tick();
    EXPECT_EQ(sink.frames.back(), secondFrame);  // full level again
    tick.tick();
    EXPECT_EQ(sink.frames.back(), scaled(secondFrame, 15.0 / 16.0));
}

TEST_F(PlayoutTickTest, TrimsOneFrameAtTheSixthFreshTickInARow) {
    tick.beginConnection();
    // Five fresh ticks in a row with something still waiting each time: no trim.
    for (int16_t i = 0; i < 5; ++i) queue.pushBack(rampPacket(i));
    for (int i = 0; i < 5; ++i) tick.tick();
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_EQ(tick.freshRun(), 5u);
    ASSERT_EQ(queue.size(), 0);

    for (int16_t i = 10; i < 14; ++i) queue.pushBack(rampPacket(i));
    ASSERT_EQ(queue.size(), 4);
    tick.tick();  // sixth fresh tick: one played, one discarded
    EXPECT_EQ(queue.size(), 2);
    EXPECT_EQ(stats.dropped, 1u);
    EXPECT_EQ(tick.freshRun(), 0u);
    EXPECT_EQ(sink.frames.back()[0], rampPacket(10)->samples[0]);

    tick.tick();  // the run started again: plays one, discards nothing
    EXPECT_EQ(queue.size(), 1);
    EXPECT_EQ(stats.dropped, 1u);
    // The discarded frame (11) was never played: 10, then 12.
    EXPECT_EQ(sink.frames.back()[0], rampPacket(12)->samples[0]);

    const PlayoutFigures f = tick.figures();
    EXPECT_EQ(f.droppedFrames, 1u);
    EXPECT_EQ(f.maxQueueDepth, 5);  // the first five, before any tick
}

TEST_F(PlayoutTickTest, AnUnderrunRestartsTheFreshRun) {
    tick.beginConnection();
    for (int16_t i = 0; i < 5; ++i) queue.pushBack(rampPacket(i));
    for (int i = 0; i < 5; ++i) tick.tick();
    tick.tick();  // underrun
    EXPECT_EQ(tick.freshRun(), 0u);
    for (int16_t i = 0; i < 4; ++i) queue.pushBack(rampPacket(i));
    tick.tick();  // a first fresh tick again: no trim even though frames wait
    EXPECT_EQ(queue.size(), 3);
    EXPECT_EQ(stats.dropped, 0u);
}

TEST_F(PlayoutTickTest, FreshRunSurvivesANewConnectionButTheLastFrameDoesNot) {
    tick.beginConnection();
    for (int16_t i = 0; i < 3; ++i) queue.pushBack(rampPacket(i));
    for (int i = 0; i < 3; ++i) tick.tick();
    tick.endConnection();
    EXPECT_FALSE(tick.hasLastPlayed());
    tick.beginConnection();
    EXPECT_EQ(tick.freshRun(), 3u);
    const size_t before = sink.frames.size();
    tick.tick();  // nothing queued, nothing to repeat in the new connection
    EXPECT_EQ(sink.frames.size(), before);
}

class StampingProbe final : public LatencyProbe {
public:
    void onArrival(const VoicePacket&, uint64_t) override { ++arrivals; }
    void onWritten(const VoicePacket& packet, uint64_t nowUs) override {
        written.push_back(packet.sequence);
        lastUs = nowUs;
    }
    int arrivals = 0;
    std::vector<uint32_t> written;
    uint64_t lastUs = 0;
};

TEST_F(PlayoutTickTest, LatencyProbeSeesEachFreshFrameOnceAndNoRepeats) {
    StampingProbe probe;
    tick.setLatencyProbe(&probe);
    tick.beginConnection();
    queue.pushBack(rampPacket(3));
    queue.pushBack(rampPacket(4));
    for (int i = 0; i < 5; ++i) tick.tick();
    EXPECT_EQ(probe.written, (std::vector<uint32_t>{3, 4}));
    EXPECT_GT(probe.lastUs, 0u);
}

}  // namespace
}  // namespace vexlink
