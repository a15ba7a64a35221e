// Reconnecting: the rule and the waits as tables, the tick's silence before
// a later connection's first frame, and the controller between two
// attempts (against a port that refuses, ALSA routed to files).

#include <gtest/gtest.h>

#include <memory>

#include "AlsaRouting.h"
#include "audio/AlsaApi.h"
#include "audio/LoopbackWriter.h"
#include "control/FrameSink.h"
#include "control/MicController.h"
#include "control/PlayoutQueue.h"
#include "control/PlayoutTick.h"
#include "control/ReconnectPolicy.h"
#include "control/Settings.h"
#include "media/ReceptionStats.h"
#include "tests/control/ControllerTestSupport.h"
#include "tests/transport/TestPeers.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using test::report;

TEST(ReconnectPolicyTest, EveryEndButStopMismatchAndBadTransportIsRetried) {
    const struct {
        int32_t result;
        bool retried;
    } cases[] = {
        {kResultOk, false},           {kResultMismatch, false},        {kResultBadTransport, false},
        {kResultConnectFailed, true}, {kResultHandshakeSocketError, true}, {kResultMediaPortFailed, true},
        {kResultAborted, true},       {kResultNoAudio, true},          {kResultCannotStart, true},
    };
    for (const bool reconnect : {false, true}) {
        Settings::resetForTest();
        Settings::setReconnect(reconnect);
        for (const auto& c : cases) {
            EXPECT_EQ(ReconnectPolicy::retries(c.result), c.retried) << c.result;
            EXPECT_EQ(ReconnectPolicy::followsEnd(c.result), reconnect && c.retried) << c.result;
        }
    }
}

TEST(ReconnectPolicyTest, WaitsDoubleUpToTenSecondsAndStartOverAfterVoice) {
    const struct {
        bool carriedVoice;
        int32_t waitMs;
    } steps[] = {{false, 1000}, {false, 2000}, {false, 4000}, {false, 8000}, {false, 10000}, {false, 10000},
                 {true, 1000},  {false, 2000}, {true, 1000},  {true, 1000},  {false, 2000}};
    ReconnectPolicy policy;
    for (size_t i = 0; i < std::size(steps); ++i) EXPECT_EQ(policy.nextWaitMs(steps[i].carriedVoice), steps[i].waitMs) << i;
    ReconnectPolicy odd(300, 1000);  // doubling never passes the longest wait
    for (const int32_t waitMs : {300, 600, 1000, 1000}) EXPECT_EQ(odd.nextWaitMs(false), waitMs);
}

struct RecordingSink final : FrameSink {
    void playFrame(const int16_t* samples) override { frames.emplace_back(samples, samples + kFrameSamples); }
    std::vector<test::PcmFrame> frames;
};

// Before a connection's first frame the tick writes nothing, or silence when
// filling; once a frame was played, filling changes nothing.
TEST(ReconnectPolicyTest, FillingTickWritesSilenceOnlyBeforeTheFirstFrame) {
    for (const bool fill : {false, true}) {
        PlayoutQueue queue;
        RecordingSink sink;
        ReceptionStats stats;
        PlayoutTick tick(queue, sink, stats);
        tick.setFillWhileEmpty(fill);
        tick.beginConnection();
        for (int i = 0; i < 3; ++i) tick.tick();
        ASSERT_EQ(sink.frames.size(), fill ? 3u : 0u);
        for (const auto& frame : sink.frames) EXPECT_EQ(frame, test::PcmFrame(kFrameSamples, 0));
        auto packet = std::make_unique<VoicePacket>();
        std::fill(std::begin(packet->samples), std::end(packet->samples), int16_t(1234));
        queue.pushBack(std::move(packet));
        tick.tick();
        tick.tick();  // the repeat at full level, not silence
        ASSERT_EQ(sink.frames.size(), fill ? 5u : 2u);
        EXPECT_EQ(sink.frames.back(), test::PcmFrame(kFrameSamples, 1234)) << fill;
        EXPECT_EQ(tick.figures().concealedTicks, 1u);
    }
}

// Records the state reports and the announced waits.
struct WaitRecorder final : PlayerCallback {
    void onStateChanged(int32_t state, int32_t result, int32_t detail) override {
        states.onStateChanged(state, result, detail);
    }
    void onReconnectWait(int32_t waitMs) override {
        std::lock_guard<std::mutex> lock(mutex);
        waits.push_back(waitMs);
    }
    std::vector<int32_t> announced() {
        std::lock_guard<std::mutex> lock(mutex);
        return waits;
    }
    test::RecordingCallback states;
    std::mutex mutex;
    std::vector<int32_t> waits;
};

// A phone whose port refuses every connection (bound, not listening).
class ReconnectControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::resetForTest();
        Settings::setReconnect(true);
        Settings::setTransportType(kTransportWifi);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setControlPort(refusing.port);
        Settings::setMediaPort(test::reservePort(SOCK_DGRAM));
    }
    void start(int32_t firstWaitMs, int32_t longestWaitMs) {
        controller = std::make_unique<MicController>(&callback, loopback.get());
        controller->setReconnectWaitsMsForTest(firstWaitMs, longestWaitMs);
        controller->start();
    }

    test::AlsaRouting alsa;
    std::unique_ptr<LoopbackWriter> loopback = std::make_unique<LoopbackWriter>(realAlsaApi());
    test::BoundSocket refusing{SOCK_STREAM};
    WaitRecorder callback;
    std::unique_ptr<MicController> controller;
};

TEST_F(ReconnectControllerTest, RetriesWithGrowingWaitsAndFeedsSilenceMeanwhile) {
    start(100, 400);
    ASSERT_TRUE(callback.states.waitFor(kStateDisconnected, 20s, 5));
    const auto stopAt = std::chrono::steady_clock::now();
    controller->stop();
    ASSERT_TRUE(callback.states.waitFor(kStateDisconnecting, 10s));
    controller.reset();  // Disconnected follows Disconnecting without another event
    loopback.reset();    // flushes the routed file
    const auto reports = callback.states.reports();
    EXPECT_EQ(std::vector(reports.end() - 2, reports.end()),
              (std::vector{report(kStateDisconnecting), report(kStateDisconnected)}));
    const auto waits = callback.announced();
    ASSERT_GE(waits.size(), 5u);
    EXPECT_EQ(std::vector(waits.begin(), waits.begin() + 5), (std::vector{100, 200, 400, 400, 400}));
    // Each attempt came no earlier than its wait after the end before it.
    for (size_t i = 1, n = 0; i < reports.size(); ++i) {
        if (reports[i].state != kStateConnecting) continue;
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(reports[i].at - reports[i - 1].at);
        EXPECT_GE(waited.count() + 2, waits.at(n++)) << i;  // deadlines are whole ms
    }
    // From the first end to the stop, silence every 20 ms and nothing else.
    const auto fed = std::chrono::duration_cast<std::chrono::milliseconds>(stopAt - reports.at(1).at).count();
    const auto samples = alsa.readLoopback();
    EXPECT_GE(static_cast<long long>(samples.size()) / 48, fed - 300);
    EXPECT_EQ(std::count(samples.begin(), samples.end(), int16_t(0)), static_cast<long>(samples.size()));
}

// A stop (Ctrl-C) or the controller's end during a long wait is handled at
// once; nothing is attempted after it.
class StopDuringTheWaitTest : public ReconnectControllerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StopDuringTheWaitTest, EndsTheRunAtOnce) {
    const bool destroy = GetParam();
    start(60000, 60000);
    ASSERT_TRUE(callback.states.waitFor(kStateDisconnected, 20s));
    ASSERT_TRUE(test::eventually([&] { return !callback.announced().empty(); }));
    const auto stopAt = std::chrono::steady_clock::now();
    if (destroy) {
        controller.reset();
    } else {
        controller->stop();
        ASSERT_TRUE(callback.states.waitFor(kStateDisconnected, 10s, 2));
        controller.reset();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 2s);
    std::vector expected{report(kStateConnecting), report(kStateDisconnected, kResultConnectFailed)};
    if (!destroy) expected.insert(expected.end(), {report(kStateDisconnecting), report(kStateDisconnected)});
    EXPECT_EQ(callback.states.reports(), expected);
    EXPECT_EQ(callback.announced(), std::vector{60000});
}

INSTANTIATE_TEST_SUITE_P(Ends, StopDuringTheWaitTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Destroyed" : "Stopped"); });

}  // namespace
}  // namespace vexlink
