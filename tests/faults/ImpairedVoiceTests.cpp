// The client against a misbehaving network, in-process: each scenario runs a
// few seconds of voice through the simulator's impairments and checks that
// the client holds up (run() checks the end: stop() within the limit,
// result 0, every frame released). Version 4 plays adaptive.

#include "VoiceFaultTest.h"
#include "control/VoiceReceiver.h"
#include "media/ReceptionStats.h"
#include "tools/phonesim/ImpairmentModel.h"

namespace vexlink::test {
namespace {

using phonesim::SimulatorConfig;

constexpr uint32_t kVoiceMs = 5000;  // 250 frames

class ImpairedVoice : public VoiceFaultTest {};

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
}

// Each junk datagram costs the reader one of its three attempts at the next
// packet; three in a row (here after every voice packet) make the receive
// thread give up, and so does a zero-length datagram at once: the
// connection ends with "Aborted." (-28) in order, releasing everything.
struct SelfEnd {
    const char* name;
    double garbageRate;
    uint32_t kinds;
};
class ImpairedVoiceEnd : public VoiceFaultTest, public ::testing::WithParamInterface<SelfEnd> {};

TEST_P(ImpairedVoiceEnd, EndsTheConnectionAsAborted) {
    SimulatorConfig c = voice(kVoiceMs);
    c.media.impairments.garbageRate = GetParam().garbageRate;
    c.media.impairments.garbageKinds = GetParam().kinds;
    VoiceRunOptions options;
    options.expectSelfEnd = true;
    const VoiceOutcome o = run(GetParam().name, c, options);
    EXPECT_EQ(o.result, kResultAborted);
    EXPECT_GE(o.sent.garbage, 1u);
    EXPECT_GE(o.arrivals, 1u);
    EXPECT_LT(o.sent.generated, 250u);  // well before the voice would have ended
}
INSTANTIATE_TEST_SUITE_P(
    Junk, ImpairedVoiceEnd,
    ::testing::Values(SelfEnd{"ThreeJunkDatagramsInARow", 3.0, phonesim::kGarbageRandom | phonesim::kGarbageOversized},
                      SelfEnd{"ZeroLengthDatagram", 0.05, phonesim::kGarbageEmpty}),
    [](const auto& info) { return std::string(info.param.name); });

// 500 packets a second: the receive thread keeps up (nothing lost in the
// socket), the playout stays bounded (the adaptive one cuts the excess, the
// queue discards its oldest frames past one second of voice) and -d counts
// what they threw away, and stop() still ends it promptly (run() checks
// that).
class FloodTest : public VoiceFaultTest, public ::testing::WithParamInterface<PlayoutMode> {};

TEST_P(FloodTest, TenTimesTheRateKeepsTheClientResponsive) {
    SimulatorConfig c = voice(3000);
    c.media.impairments.flood = 10;
    VoiceRunOptions options;
    options.playout = GetParam();
    const VoiceOutcome o = run("flood-10x", c, options);
    EXPECT_GE(o.sent.sent, 1400u);
    EXPECT_GE(o.arrivals * 100, o.sent.sent * (kSanitized ? 50 : 95));
    // Some 150 frames of time went by: most of the rest was thrown away
    // rather than kept for later.
    EXPECT_GE(ReceptionStats::instance()->dropped * 3, o.arrivals * 2);
    EXPECT_EQ(o.figures.maxQueueDepth, GetParam() == PlayoutMode::Queue ? VoiceReceiver::kMaxQueuedFrames : 0);
}
INSTANTIATE_TEST_SUITE_P(Playouts, FloodTest, ::testing::Values(PlayoutMode::Auto, PlayoutMode::Queue),
                         [](const auto& info) { return info.param == PlayoutMode::Queue ? "Queue" : "Adaptive"; });

}  // namespace
}  // namespace vexlink::test
