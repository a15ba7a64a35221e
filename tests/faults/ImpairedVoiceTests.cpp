// The client against a misbehaving network, in-process: a real MicController
// (its event, receive and timer threads, sockets on 127.0.0.1, real libopus,
// ALSA routed to files) against the phone simulator, a few seconds of voice
// through the simulator's impairments. Checked: the client holds up; what
// either playout makes of loss, jitter and copies is tested on a hand-driven
// clock (tests/playout, tests/control).

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "AlsaRouting.h"
#include "ControllerTestSupport.h"
#include "FaultLimits.h"
#include "control/MicController.h"
#include "control/VoiceReceiver.h"
#include "media/ReceptionStats.h"
#include "settings/Settings.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink::test {
namespace {

using namespace std::chrono_literals;

struct Scenario {
    const char* name;
    double garbageRate;     // junk datagrams per voice packet
    uint32_t garbageKinds;  // random bytes (1..200), oversized (1025..2048), empty
    uint32_t flood;         // times the normal packet rate (0: normal)
    PlayoutMode playout;
    int32_t result;  // kResultAborted: the junk ends the connection; 0: a stop after the voice
    uint64_t minGarbage, minSent;
    uint32_t minReceivedPercent;  // of the packets sent
};
void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }
constexpr uint32_t kJunk = phonesim::kGarbageRandom | phonesim::kGarbageOversized;

class ImpairedVoice : public ::testing::TestWithParam<Scenario> {
protected:
    AlsaRouting alsa;  // before any controller: ALSA reads its configuration once
};

// Checks what every scenario holds: it connects, ends with its result (a
// stop within the limit, while still connected), and the client read no more
// than was sent and played no more than it read.
TEST_P(ImpairedVoice, HoldsUp) {
    const Scenario& s = GetParam();
    phonesim::SimulatorConfig c;
    c.control.listenAddress = "127.0.0.1";
    c.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3400.0, 1000, 0.4);
    c.media.durationMs = s.flood != 0 ? 3000 : 5000;  // 150 or 250 frames
    c.media.recordPayloads = false;
    c.media.impairments.seed = 7;
    c.media.impairments.garbageRate = s.garbageRate;
    c.media.impairments.garbageKinds = s.garbageKinds;
    c.media.impairments.flood = s.flood;
    phonesim::PhoneSimulator sim(c);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    Settings::resetForTest();
    Settings::setTransportType(kTransportWifi);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(sim.port());
    Settings::setMediaPort(reservePort(SOCK_DGRAM));
    Settings::setPlayoutMode(s.playout);

    RecordingCallback states;
    auto controller = std::make_unique<MicController>(&states);
    controller->start();
    const auto voiceLimit = std::chrono::milliseconds(c.media.durationMs * (kSanitized ? 3 : 2) + 20000);
    ASSERT_TRUE(states.waitFor(kStateConnected, 20s));
    auto stopAt = std::chrono::steady_clock::now();
    if (s.result == kResultOk) {
        ASSERT_TRUE(sim.waitForMediaFinished(voiceLimit));
        EXPECT_EQ(controller->state(), kStateConnected) << "the fault ended the connection";
        stopAt = std::chrono::steady_clock::now();
        controller->stop();
    }
    ASSERT_TRUE(states.waitFor(kStateDisconnected, voiceLimit));
    const StateReport end = states.last(kStateDisconnected);
    const PlayoutFigures figures = controller->playoutFigures();
    controller.reset();
    sim.stop();
    sim.join();
    const phonesim::SimulatorRecord record = sim.snapshot();
    ASSERT_NE(record.lastSession(), nullptr);
    const phonesim::MediaCounters sent = record.lastSession()->counters;
    const ReceptionStats& stats = *ReceptionStats::instance();

    EXPECT_EQ(end, report(kStateDisconnected, s.result));
    const double stopMs = std::chrono::duration<double, std::milli>(end.at - stopAt).count();
    EXPECT_TRUE(s.result != kResultOk || stopMs <= kStopLimitMs) << stopMs;
    EXPECT_TRUE(s.result == kResultOk || sent.generated < 250u);  // well before the voice would have ended
    EXPECT_GE(sent.garbage, s.minGarbage);
    EXPECT_GE(sent.sent, s.minSent);
    EXPECT_GE(stats.received, 1u);
    EXPECT_GE(stats.received * 100, sent.sent * s.minReceivedPercent);
    EXPECT_LE(stats.received, sent.sent + sent.duplicates);  // nothing invented
    EXPECT_LE(figures.freshFrames, stats.received);
    // A flood outruns the playout: the adaptive one cuts the excess, the queue
    // stays at its bound and discards its oldest frames; -d counts both.
    EXPECT_EQ(figures.maxQueueDepth, s.playout == PlayoutMode::Queue ? VoiceReceiver::kMaxQueuedFrames : 0);
    EXPECT_TRUE(s.flood == 0 || stats.dropped * 3 >= stats.received * 2) << stats.dropped;
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, ImpairedVoice,
    ::testing::Values(
        // Junk every other packet is refused without ending the connection;
        // a voice packet is lost only when a junk datagram shorter than a
        // header is glued in front of it by the reader.
        Scenario{"JunkBetweenTheVoice", 0.5, kJunk, 0, PlayoutMode::Adaptive, kResultOk, 80, 0, 95},
        // Each junk datagram costs the reader one of its three attempts at the
        // next packet: three in a row end the connection, and so does a
        // zero-length datagram at once.
        Scenario{"ThreeJunkDatagramsInARow", 3.0, kJunk, 0, PlayoutMode::Adaptive, kResultAborted, 1, 0, 0},
        Scenario{"ZeroLengthDatagram", 0.05, phonesim::kGarbageEmpty, 0, PlayoutMode::Adaptive, kResultAborted, 1, 0, 0},
        // 500 packets a second: the receive thread keeps up.
        Scenario{"FloodAdaptive", 0, 0, 10, PlayoutMode::Adaptive, kResultOk, 0, 1400, kSanitized ? 50 : 95},
        Scenario{"FloodQueue", 0, 0, 10, PlayoutMode::Queue, kResultOk, 0, 1400, kSanitized ? 50 : 95}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexlink::test
