// A minute of voice from a sender whose clock runs 300 ppm fast or slow
// against the client's playout clock (label "long"; the sanitizer passes
// skip these). 300 ppm is 0.9 frames a minute: the fast sender's surplus is
// one more frame for the trimming, the slow sender's shortfall one more
// concealed tick. What the minute shows is that nothing accumulates: the
// figures stay those of an unimpaired run, the books balance, and the
// keep-alives hold the connection the whole time.

#include "VoiceFaultTest.h"

namespace vexlink::test {
namespace {

constexpr uint32_t kMinute = 60000;  // 3000 frames
// A frame or two, plus what a starved process piles up meanwhile; drift that
// the trimming failed to catch would grow past it.
int64_t depthBound(const VoiceOutcome& o) { return 5 + o.starvedFrames; }
// Concealed or trimmed frames: a few percent from timing alone, plus what the
// measured starvation accounts for.
int64_t shareBound(uint64_t frames, const VoiceOutcome& o) {
    return static_cast<int64_t>(frames) / 33 + o.starvedFrames;
}

class ClockDrift : public VoiceFaultTest {};

TEST_F(ClockDrift, FastSenderIsKeptShortByTheTrimming) {
    phonesim::SimulatorConfig c = voice(kMinute);
    c.media.impairments.clockPpm = 300.0;
    const VoiceOutcome o = run("clock+300ppm", c);
    EXPECT_EQ(o.sent.lost, 0u);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    // The surplus (0.9 frames a minute) never builds up: the trimming keeps
    // the queue within a few frames for the whole minute.
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
    EXPECT_LE(o.concealed, shareBound(o.voiceTicks(), o));
    EXPECT_LE(o.discarded, shareBound(o.arrivals, o));
    expectBalancedBooks(o, "clock");
    EXPECT_GE(o.keepAlives, 55u);
}

TEST_F(ClockDrift, SlowSenderUnderrunsAreConcealed) {
    phonesim::SimulatorConfig c = voice(kMinute);
    c.media.impairments.clockPpm = -300.0;
    const VoiceOutcome o = run("clock-300ppm", c);
    EXPECT_EQ(o.sent.lost, 0u);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    // The shortfall is concealed tick by tick; it stays a small share and the
    // queue never grows.
    EXPECT_LE(o.concealed, shareBound(o.voiceTicks(), o));
    EXPECT_LE(o.discarded, shareBound(o.arrivals, o));
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
    expectBalancedBooks(o, "clock");
    EXPECT_GE(o.keepAlives, 55u);
}

}  // namespace
}  // namespace vexlink::test
