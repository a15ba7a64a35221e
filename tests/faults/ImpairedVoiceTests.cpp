// The client against a misbehaving network, in-process: each scenario runs a
// few seconds of voice through the simulator's impairments, ends with
// stop() (Ctrl-C), and checks the figures of the playout against what the
// simulator did. The minute-long clock-drift scenarios are in
// ClockDriftTests.cpp (label "long").

#include "VoiceFaultTest.h"
#include "control/VoiceReceiver.h"
#include "tools/phonesim/ImpairmentModel.h"

namespace vexlink::test {
namespace {

using phonesim::SimulatorConfig;

constexpr uint32_t kVoiceMs = 5000;  // 250 frames

// Slack for figures that depend on how the timer thread and the packets
// line up, on top of what the measured starvation of the process accounts
// for (VoiceOutcome::starvedFrames); sanitizers slow every thread.
int64_t slack(uint64_t frames) {
    const int64_t fixed = kSanitized ? 12 : 5;
    const int64_t share = static_cast<int64_t>(frames) / (kSanitized ? 25 : 50);
    return fixed + share;
}

// The queue's depth is sampled at every tick: a frame or two, more while a
// starved thread catches up. A queue that grows without bound goes far past.
int64_t depthBound(const VoiceOutcome& o) { return (kSanitized ? 12 : 5) + o.starvedFrames; }

class ImpairedVoice : public VoiceFaultTest {};

TEST_F(ImpairedVoice, UnimpairedBaseline) {
    const VoiceOutcome o = run("unimpaired", voice(kVoiceMs));
    EXPECT_EQ(o.sent.sent, o.sent.generated);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    EXPECT_EQ(o.outOfOrder, 0u);
    expectBalancedBooks(o, "unimpaired");
    // Only the timing of the threads makes the client conceal or trim here.
    EXPECT_LE(o.concealed, slack(o.sent.generated) + o.starvedFrames);
    EXPECT_LE(o.discarded, slack(o.sent.generated) + o.starvedFrames);
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
    EXPECT_GE(o.keepAlives, 3u);  // the control connection stayed alive throughout
}

TEST_F(ImpairedVoice, UniformLossOfFivePercentIsConcealed) {
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.loss = 0.05;
    const VoiceOutcome o = run("loss-5%", c);
    const double lostShare = 100.0 * o.sent.lost / o.sent.generated;
    EXPECT_GT(lostShare, 2.0);
    EXPECT_LT(lostShare, 9.0);
    EXPECT_EQ(o.arrivals, o.sent.sent);  // loopback itself loses nothing
    expectBalancedBooks(o, "loss-5%");
    // Every lost frame is concealed (a frame waiting in the queue covers a
    // loss only where it would otherwise have been trimmed); the rest of the
    // concealment and the trimming come from timing alone and stay few.
    EXPECT_GE(o.concealed + 2 + o.starvedFrames, o.sent.lost);
    EXPECT_LE(o.concealed, o.sent.lost + slack(o.sent.generated) + o.starvedFrames);
    EXPECT_LE(o.discarded, slack(o.sent.generated) + o.starvedFrames);
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, BurstyLossOfTenPercentIsConcealed) {
    SimulatorConfig c = voice(8000);
    // Good -> bad once every 36 frames, bursts of 4 frames on average: about
    // 10% of the frames lost, in runs.
    c.media.impairments.burstGoodToBad = 0.0278;
    c.media.impairments.burstBadToGood = 0.25;
    c.media.impairments.burstLossInBad = 1.0;
    const VoiceOutcome o = run("bursty-loss-10%", c);
    const double lostShare = 100.0 * o.sent.lost / o.sent.generated;
    EXPECT_GT(lostShare, 4.0);
    EXPECT_LT(lostShare, 20.0);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    expectBalancedBooks(o, "bursty-loss-10%");
    EXPECT_GE(o.concealed + 2 + o.starvedFrames, o.sent.lost);
    EXPECT_LE(o.discarded, slack(o.sent.generated) + o.starvedFrames);
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, JitterOfThirtyMillisecondsLosesNothing) {
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.jitterMs = 30;
    const VoiceOutcome o = run("jitter-30ms", c);
    EXPECT_EQ(o.sent.lost, 0u);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    // More than a frame interval of jitter reorders packets; the client plays
    // them in the order they come, exactly as the simulator wrote them.
    EXPECT_GT(o.sent.reordered, 0u);
    EXPECT_EQ(o.outOfOrder, o.sent.reordered);
    expectBalancedBooks(o, "jitter-30ms");
    // Late frames are concealed, their early successors trimmed: both stay a
    // modest share, and the queue stays short.
    EXPECT_LE(o.concealed, o.voiceTicks() / (kSanitized ? 3 : 4) + o.starvedFrames);
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, ReorderedPacketsArePlayedAsTheyCome) {
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.reorder = 0.1;
    c.media.impairments.reorderDepth = 1;
    const VoiceOutcome o = run("reorder-10%", c);
    EXPECT_GT(o.sent.reordered, 5u);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    EXPECT_EQ(o.outOfOrder, o.sent.reordered);
    expectBalancedBooks(o, "reorder-10%");
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, DuplicatesAreQueuedAndTrimmedAway) {
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.duplicate = 0.1;
    c.media.impairments.duplicateMaxDelayMs = 30;
    const VoiceOutcome o = run("duplicates-10%", c);
    EXPECT_GT(o.sent.duplicates, 5u);
    // Every copy is a frame to the client (nothing in the packet tells it
    // apart); the surplus lengthens the queue until the trimming removes it.
    EXPECT_EQ(o.arrivals, o.sent.sent + o.sent.duplicates);
    expectBalancedBooks(o, "duplicates-10%");
    EXPECT_GE(o.droppedAtVoiceEnd + o.depthAtVoiceEnd + 2, static_cast<int64_t>(o.sent.duplicates));
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, VoiceResumesAfterATwoSecondStall) {
    // From 1 s to 3 s of the voice nothing is sent; what was held back goes
    // out in one burst at the end of the stall.
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.stallAtMs = 1000;
    c.media.impairments.stallForMs = 2000;
    VoiceRunOptions options;
    options.markTimestampMs = 3000;  // the voice produced after the stall
    options.drainLimit = std::chrono::milliseconds(6000);
    const VoiceOutcome o = run("stall-2s-burst", c, options);
    EXPECT_EQ(o.sent.lost, 0u);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    // Under 3 s of silence the reads only time out, they never give up: the
    // connection stays up (checked by run()), the stall is concealed (fade,
    // then silence) ...
    EXPECT_GE(o.concealed + o.starvedFrames, 100u);
    // ... and the voice after the stall is played, most of it fresh (the
    // burst sits in the queue, which the trimming shortens only slowly).
    EXPECT_GE(o.markedArrivals, 95u);
    EXPECT_GE(o.markedWritten * 10, o.markedArrivals * 6);
    // The burst of held frames fills the queue (it keeps at most a second).
    EXPECT_GE(o.figures.maxQueueDepth, 40);
    expectBalancedBooks(o, "stall-2s-burst");
}

TEST_F(ImpairedVoice, VoiceResumesAfterATwoSecondStallThatLostItsPackets) {
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.stallAtMs = 1000;
    c.media.impairments.stallForMs = 2000;
    c.media.impairments.stallDrops = true;
    VoiceRunOptions options;
    options.markTimestampMs = 3000;
    const VoiceOutcome o = run("stall-2s-lost", c, options);
    EXPECT_GE(o.sent.lost, 98u);
    EXPECT_LE(o.sent.lost, 101u);
    EXPECT_EQ(o.arrivals, o.sent.sent);
    expectBalancedBooks(o, "stall-2s-lost");
    EXPECT_GE(o.concealed + 2 + o.starvedFrames, o.sent.lost);
    // Everything after the stall plays, with no added delay to trim: only
    // the timing of the threads may make the tick throw a frame or two away,
    // as on an unimpaired network.
    EXPECT_GE(o.markedArrivals, 95u);
    EXPECT_GE(o.markedWritten + slack(o.markedArrivals) + o.starvedFrames, o.markedArrivals);
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, StopDuringAStallEndsPromptly) {
    // The receive thread waits up to 3 s for the next datagram; stop() must
    // not wait for that.
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.stallAtMs = 1000;
    c.media.impairments.stallForMs = 3500;
    VoiceRunOptions options;
    options.stopAfterArrivals = 50;  // the last frame before the stall
    const VoiceOutcome o = run("stop-in-stall", c, options);
    EXPECT_LE(o.arrivals, 51u);
}

TEST_F(ImpairedVoice, GarbageAndOversizedDatagramsBetweenTheVoice) {
    SimulatorConfig c = voice(kVoiceMs);
    // One junk datagram every other packet: random bytes (1..200) or more
    // than the reader's 1024-byte buffer (1025..2048).
    c.media.impairments.garbageRate = 0.5;
    c.media.impairments.garbageKinds = phonesim::kGarbageRandom | phonesim::kGarbageOversized;
    const VoiceOutcome o = run("garbage", c);
    EXPECT_GT(o.sent.garbage, 80u);
    // Junk is refused without crashing or ending the connection (run()
    // checks that); a voice packet is lost only when a junk datagram shorter
    // than a header is glued in front of it by the reader.
    EXPECT_GE(o.arrivals * 100, o.sent.sent * 95);
    expectBalancedBooks(o, "garbage");
    EXPECT_LE(o.figures.maxQueueDepth, depthBound(o));
}

TEST_F(ImpairedVoice, ThreeJunkDatagramsInARowEndTheConnectionAsAborted) {
    // Each junk datagram costs the reader one of its three attempts at the
    // next packet; three in a row (here after every voice packet) make the
    // receive thread give up, and the connection ends with "Aborted." (-28)
    // in order, releasing everything. (So does a loss burst with junk in it.)
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.garbageRate = 3.0;
    c.media.impairments.garbageKinds = phonesim::kGarbageRandom | phonesim::kGarbageOversized;
    VoiceRunOptions options;
    options.expectSelfEnd = true;
    const VoiceOutcome o = run("junk-runs", c, options);
    EXPECT_EQ(o.result, kResultAborted);
    EXPECT_GE(o.sent.garbage, 3u);
    EXPECT_GE(o.arrivals, 1u);
    EXPECT_LE(o.arrivals, 2u);
}

TEST_F(ImpairedVoice, ZeroLengthDatagramEndsTheConnectionAsAborted) {
    // A zero-length datagram counts as a failed receive: the receive thread
    // gives up at once and the connection ends with "Aborted." (-28),
    // releasing everything.
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.garbageRate = 0.05;
    c.media.impairments.garbageKinds = phonesim::kGarbageEmpty;
    VoiceRunOptions options;
    options.expectSelfEnd = true;
    const VoiceOutcome o = run("zero-length-datagram", c, options);
    EXPECT_EQ(o.result, kResultAborted);
    EXPECT_GE(o.sent.garbage, 1u);
    EXPECT_GE(o.arrivals, 1u);
    // It ends well before the voice would have.
    EXPECT_LT(o.sent.generated, 250u);
}

TEST_F(ImpairedVoice, FloodAtTenTimesTheRateKeepsTheClientResponsive) {
    SimulatorConfig c = voice(3000);
    c.media.impairments.flood = 10;  // 500 packets a second
    VoiceRunOptions options;
    options.drainLimit = std::chrono::milliseconds(0);  // the queue cannot drain
    const VoiceOutcome o = run("flood-10x", c, options);
    EXPECT_GE(o.sent.sent, 1400u);
    // The receive thread keeps up (nothing lost in the socket) ...
    EXPECT_GE(o.arrivals * 100, o.sent.sent * (kSanitized ? 50 : 95));
    // ... the tick never runs dry ...
    EXPECT_LE(o.concealed, slack(150) + o.starvedFrames);
    // ... and trims one frame per six ticks at most; the rest would pile up,
    // so the queue discards its oldest frames past one second of voice:
    // delay and memory stay bounded. stop() still ends it promptly and
    // releases every frame (run() checks both).
    EXPECT_LE(o.figures.droppedFrames, o.written / 5 + 2);
    EXPECT_GE(o.figures.maxQueueDepth, VoiceReceiver::kMaxQueuedFrames - 5);
    EXPECT_LE(o.figures.maxQueueDepth, VoiceReceiver::kMaxQueuedFrames);
}

}  // namespace
}  // namespace vexlink::test
