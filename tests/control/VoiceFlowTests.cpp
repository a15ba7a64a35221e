// Voice from the simulator to the ALSA devices (routed to files), checked
// frame by frame against the simulator's own packets decoded with libopus.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "AlsaRouting.h"
#include "audio/AlsaApi.h"
#include "audio/LoopbackWriter.h"
#include "control/LatencyProbe.h"
#include "control/MicController.h"
#include "control/Settings.h"
#include "media/ReceptionStats.h"
#include "tests/control/ControllerTestSupport.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using phonesim::PhoneSimulator;
using phonesim::SimulatorConfig;
using test::report;

constexpr uint64_t kPackets = 150;  // 3 s of voice

class CountingProbe final : public LatencyProbe {
public:
    void onArrival(const VoicePacket&, uint64_t) override { arrivals.fetch_add(1); }
    void onWritten(const VoicePacket&, uint64_t) override { written.fetch_add(1); }
    std::atomic<uint32_t> arrivals{0};
    std::atomic<uint32_t> written{0};
};

class VoiceFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::resetForTest();
        config.control.listenAddress = "127.0.0.1";
        config.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3000.0, 1000, 0.4);
        config.media.packetCount = kPackets;
    }

    // Runs a session until every packet the simulator sent has been played
    // or trimmed, stops it, and returns the simulator's record of it.
    phonesim::SessionRecord runSession(LatencyProbe* probe = nullptr) {
        sim = std::make_unique<PhoneSimulator>(config);
        std::string error;
        EXPECT_TRUE(sim->start(&error)) << error;
        Settings::setTransportType(kTransportWifi);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setControlPort(sim->port());
        Settings::setMediaPort(test::freePort(SOCK_DGRAM));

        // A writer of the test's own: closing it flushes the routed file (the
        // process-wide one stays open until exit).
        loopback = std::make_unique<LoopbackWriter>(realAlsaApi());
        controller = std::make_unique<MicController>(&callback, loopback.get());
        controller->setLatencyProbe(probe);
        controller->start();
        EXPECT_TRUE(callback.waitForState(kStateConnected, 10s));
        EXPECT_TRUE(sim->waitForMediaFinished(30s));
        EXPECT_TRUE(test::pollUntil(
            [&] {
                const PlayoutFigures f = controller->playoutFigures();
                return f.freshFrames + f.droppedFrames >= kPackets;
            },
            30s));
        controller->stop();
        EXPECT_TRUE(callback.waitForState(kStateDisconnected, 10s));
        EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, 0));
        figures = controller->playoutFigures();
        controller.reset();
        loopback.reset();
        return sim->snapshot().sessions.at(0);
    }

    void expectSignalInLoopback(const phonesim::SessionRecord& session) {
        const auto reference = test::referenceFrames(session);
        ASSERT_EQ(reference.size(), kPackets);
        const auto output = test::splitFrames(alsa.readLoopback());
        const uint32_t dropped = ReceptionStats::instance()->dropped;
        EXPECT_EQ(ReceptionStats::instance()->received, kPackets);
        EXPECT_EQ(figures.droppedFrames, dropped);
        EXPECT_EQ(figures.freshFrames + dropped, kPackets);

        // Every tick that played wrote one frame (the routed device never
        // underruns).
        EXPECT_EQ(output.size(), figures.freshFrames + figures.concealedTicks);

        // The queue may shift and skip frames, never reorder or invent them;
        // nothing is written before the first packet.
        const auto match = test::matchFrames(output, reference);
        EXPECT_TRUE(match.inOrder);
        EXPECT_EQ(match.firstReference, 0u);
        EXPECT_EQ(match.matched, figures.freshFrames);
    }

    test::AlsaRouting alsa;
    SimulatorConfig config;
    std::unique_ptr<PhoneSimulator> sim;
    test::RecordingCallback callback;
    std::unique_ptr<LoopbackWriter> loopback;
    std::unique_ptr<MicController> controller;
    PlayoutFigures figures;
};

TEST_F(VoiceFlowTest, Version4SignalReachesTheLoopbackFrameByFrame) {
    CountingProbe probe;
    const auto session = runSession(&probe);
    EXPECT_EQ(session.mediaVersion, 4);
    expectSignalInLoopback(session);
    EXPECT_EQ(probe.arrivals.load(), kPackets);
    EXPECT_EQ(probe.written.load(), figures.freshFrames);
    // Version 4 feeds the jitter estimate.
    EXPECT_GE(ReceptionStats::instance()->maxJitter, 10.0);
}

TEST_F(VoiceFlowTest, Version3SignalReachesTheLoopbackFrameByFrame) {
    config.control.serverVersion = 3;
    const auto session = runSession();
    EXPECT_EQ(session.mediaVersion, 3);
    expectSignalInLoopback(session);
    EXPECT_EQ(ReceptionStats::instance()->maxJitter, 0.0);
}

TEST_F(VoiceFlowTest, Version2SignalReachesTheLoopbackFrameByFrame) {
    config.control.serverVersion = 2;
    const auto session = runSession();
    EXPECT_EQ(session.mediaVersion, 2);
    expectSignalInLoopback(session);
}

TEST_F(VoiceFlowTest, GainCodeZeroMutesTheVoice) {
    config.media.gainCode = 0;
    runSession();
    EXPECT_EQ(ReceptionStats::instance()->received, kPackets);
    const auto samples = alsa.readLoopback();
    ASSERT_GE(samples.size(), 960u * (kPackets / 2));
    for (int16_t s : samples) ASSERT_EQ(s, 0);
}

TEST_F(VoiceFlowTest, PlayLocallySendsTheSameFramesToTheDefaultDevice) {
    Settings::setPlayLocally(true);
    runSession();
    const auto loopback = test::splitFrames(alsa.readLoopback());
    const auto local = test::splitFrames(alsa.readDefault());
    ASSERT_GE(loopback.size(), kPackets / 2);
    // The local device may lose or delay a block of its own; compare the
    // common stretch and require nearly all of it.
    const size_t common = std::min(loopback.size(), local.size());
    EXPECT_GE(common + 3, loopback.size());
    size_t equal = 0;
    for (size_t i = 0; i < common; ++i) equal += loopback[i] == local[i] ? 1 : 0;
    EXPECT_GE(equal + 3, common);
}

TEST_F(VoiceFlowTest, WithoutPlayLocallyNothingReachesTheDefaultDevice) {
    runSession();
    EXPECT_GE(alsa.readLoopback().size(), 960u * (kPackets / 2));
    EXPECT_TRUE(alsa.readDefault().empty());
}

}  // namespace
}  // namespace vexlink
