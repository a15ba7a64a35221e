// The controller in-process against the phone simulator on 127.0.0.1, with
// ALSA routed to files. Each case runs in a process of its own (ctest), so
// the process-wide loopback writer opens on this case's routing.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sys/socket.h>

#include "AlsaRouting.h"
#include "control/MicController.h"
#include "control/Settings.h"
#include "media/BluetoothMediaStream.h"
#include "media/ReceptionStats.h"
#include "tests/control/ControllerTestSupport.h"
#include "tests/control/SocketPairStream.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"
#include "transport/ServerConnection.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using phonesim::PhoneSimulator;
using phonesim::SimulatorConfig;
using test::report;

constexpr auto kConnectLimit = 10s;

class MicControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::resetForTest();
        config.control.listenAddress = "127.0.0.1";
        config.media.signal = std::make_shared<phonesim::ChirpSignal>();
    }

    // Starts the simulator and points the settings at it.
    void startSimulator() {
        sim = std::make_unique<PhoneSimulator>(config);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        useWifi(sim->port());
    }

    void useWifi(int32_t controlPort) {
        mediaPort = test::freePort(SOCK_DGRAM);
        ASSERT_GT(mediaPort, 0);
        Settings::setTransportType(kTransportWifi);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setControlPort(controlPort);
        Settings::setMediaPort(mediaPort);
    }

    void makeController() { controller = std::make_unique<MicController>(&callback); }

    // Runs one connection attempt that is expected to fail in the handshake
    // or connect step; returns the Disconnected report.
    test::StateReport failedAttempt() {
        makeController();
        controller->start();
        EXPECT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
        controller.reset();
        const auto reports = callback.reports();
        EXPECT_EQ(reports.size(), 2u);
        if (reports.size() < 2) return report(-1);
        EXPECT_EQ(reports[0], report(kStateConnecting));
        return reports[1];
    }

    test::AlsaRouting alsa;  // first: the controller's constructor opens the loopback writer
    SimulatorConfig config;
    std::unique_ptr<PhoneSimulator> sim;
    test::RecordingCallback callback;
    std::unique_ptr<MicController> controller;  // destroyed before the callback and the simulator
    int32_t mediaPort = 0;
};

TEST_F(MicControllerTest, NormalSessionReportsExactlyFourStates) {
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(sim->waitForPacketsSent(10, 5s));
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
    EXPECT_EQ(controller->state(), kStateDisconnected);
    controller.reset();

    const auto reports = callback.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0], report(kStateConnecting));
    EXPECT_EQ(reports[1], report(kStateConnected));
    EXPECT_EQ(reports[2], report(kStateDisconnecting));
    EXPECT_EQ(reports[3], report(kStateDisconnected, 0));

    // The handshake on the wire, and the client's orderly close.
    ASSERT_TRUE(sim->waitForSessionEnd(5s));
    const auto record = sim->snapshot();
    ASSERT_EQ(record.sessions.size(), 1u);
    const auto& s = record.sessions[0];
    ASSERT_GE(s.messages.size(), 3u);
    EXPECT_EQ(s.messages[0].type, phonesim::kSimHello);
    EXPECT_EQ(s.messages[1].type, phonesim::kSimSetup);
    EXPECT_EQ(s.messages[1].body, (std::vector<uint8_t>{2, 2, 0, 0, static_cast<uint8_t>(mediaPort >> 8),
                                                        static_cast<uint8_t>(mediaPort & 0xFF)}));
    EXPECT_EQ(s.messages[2].type, phonesim::kSimStart);
    EXPECT_EQ(s.end, phonesim::SessionEnd::ClientClosed);
    EXPECT_GT(ReceptionStats::instance()->received, 0u);
}

TEST_F(MicControllerTest, SecondStartIsIgnored) {
    config.control.maxSessions = 2;
    startSimulator();
    makeController();
    controller->start();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    controller->start();  // while Connected
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
    controller.reset();  // joins the event thread: every request has been handled
    const auto reports = callback.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3], report(kStateDisconnected, 0));
    EXPECT_EQ(sim->snapshot().sessions.size(), 1u);
}

TEST_F(MicControllerTest, StopBeforeAnyConnectionIsIgnored) {
    makeController();
    controller->stop();
    controller.reset();  // the Quit behind the Disconnect: both handled
    EXPECT_TRUE(callback.reports().empty());
}

TEST_F(MicControllerTest, StopWhileConnectingConnectsThenDisconnects) {
    config.control.hello.delayMs = 400;
    config.control.start.delayMs = 400;
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnecting, kConnectLimit));
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
    controller.reset();
    const auto reports = callback.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[1], report(kStateConnected));
    EXPECT_EQ(reports[2], report(kStateDisconnecting));
    EXPECT_EQ(reports[3], report(kStateDisconnected, 0));
}

TEST_F(MicControllerTest, ReconnectAfterAnEndedConnection) {
    config.control.maxSessions = 2;
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(sim->waitForPacketsSent(5, 5s));
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));

    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit, 2));
    // The second connection lives on: a late request of the first one must
    // not end it. Two keep-alives prove it stayed up for two seconds.
    ASSERT_TRUE(sim->waitUntil(
        [](const phonesim::SimulatorRecord& r) {
            return r.sessions.size() == 2 && r.sessions[1].countMessages(phonesim::kSimKeepAlive) >= 2;
        },
        10s));
    EXPECT_EQ(controller->state(), kStateConnected);
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit, 2));
    EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, 0));
}

// ------------------------------------------------------------ handshake faults

struct HandshakeFault {
    const char* name;
    std::function<void(SimulatorConfig&)> apply;
    int32_t expected;
};

void PrintTo(const HandshakeFault& fault, std::ostream* out) { *out << fault.name; }

class HandshakeFaultTest : public MicControllerTest, public ::testing::WithParamInterface<HandshakeFault> {};

TEST_P(HandshakeFaultTest, ReportsItsResult) {
    GetParam().apply(config);
    config.media.enabled = false;
    startSimulator();
    const auto last = failedAttempt();
    EXPECT_EQ(last, report(kStateDisconnected, GetParam().expected));
}

std::vector<HandshakeFault> handshakeFaults() {
    std::vector<HandshakeFault> faults;
    faults.push_back({"HelloWrongType", [](SimulatorConfig& c) { c.control.hello.type = 102; }, kResultMismatch});
    for (uint8_t status : {1, 10, 12, 13}) {
        faults.push_back({"HelloStatus", [status](SimulatorConfig& c) { c.control.hello.status = status; },
                          kResultMismatch});
    }
    faults.push_back({"SetupStatus12", [](SimulatorConfig& c) { c.control.setup.status = 12; }, kResultMismatch});
    faults.push_back({"StartWrongType", [](SimulatorConfig& c) { c.control.start.type = 101; }, kResultMismatch});
    for (uint8_t status : {2, 11, 14, 255}) {
        faults.push_back({"SetupStatus", [status](SimulatorConfig& c) { c.control.setup.status = status; },
                          kResultCannotStart});
    }
    faults.push_back({"HelloStatus2", [](SimulatorConfig& c) { c.control.hello.status = 2; }, kResultCannotStart});
    faults.push_back({"StartStatus9", [](SimulatorConfig& c) { c.control.start.status = 9; }, kResultCannotStart});
    faults.push_back({"HelloClosed",
                      [](SimulatorConfig& c) { c.control.hello.action = phonesim::ReplyAction::Close; },
                      kResultHandshakeSocketError});
    faults.push_back({"SetupHalfThenReset",
                      [](SimulatorConfig& c) {
                          c.control.setup.action = phonesim::ReplyAction::Reset;
                          c.control.setup.partialBytes = 3;
                      },
                      kResultHandshakeSocketError});
    faults.push_back({"StartClosed",
                      [](SimulatorConfig& c) { c.control.start.action = phonesim::ReplyAction::Close; },
                      kResultHandshakeSocketError});
    faults.push_back({"AcceptThenClose",
                      [](SimulatorConfig& c) { c.control.onAccept = phonesim::AcceptAction::Close; },
                      kResultHandshakeSocketError});
    return faults;
}

INSTANTIATE_TEST_SUITE_P(Faults, HandshakeFaultTest, ::testing::ValuesIn(handshakeFaults()),
                         [](const ::testing::TestParamInfo<HandshakeFault>& info) {
                             return std::string(info.param.name) + std::to_string(info.index);
                         });

TEST_F(MicControllerTest, RefusedControlPortGivesConnectFailed) {
    useWifi(test::freePort(SOCK_STREAM));
    EXPECT_EQ(failedAttempt(), report(kStateDisconnected, kResultConnectFailed));
}

TEST_F(MicControllerTest, BusyMediaPortGivesMediaPortFailedAndClosesTheControlConnection) {
    config.media.enabled = false;
    startSimulator();
    test::PortBlocker blocker(mediaPort);
    ASSERT_TRUE(blocker.ok());
    EXPECT_EQ(failedAttempt(), report(kStateDisconnected, kResultMediaPortFailed));
    ASSERT_TRUE(sim->waitForSessionEnd(5s));
    EXPECT_EQ(sim->snapshot().sessions[0].messages.size(), 0u);  // nothing was sent
}

TEST_F(MicControllerTest, UnknownTransportGivesBadTransport) {
    Settings::setTransportType(2);
    EXPECT_EQ(failedAttempt(), report(kStateDisconnected, kResultBadTransport));
}

TEST_F(MicControllerTest, SocketErrorDetailIsTheErrorNumber) {
    config.control.hello.action = phonesim::ReplyAction::Reset;
    startSimulator();
    const auto last = failedAttempt();
    EXPECT_EQ(last.result, kResultHandshakeSocketError);
    EXPECT_EQ(last.detail, 0);  // the platform's error number
}

// ------------------------------------------------------------------ keep-alive

TEST_F(MicControllerTest, KeepAliveLeavesOnceASecondWhileConnected) {
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(sim->waitForMessages(phonesim::kSimKeepAlive, 5, 15s));
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
    controller.reset();

    const auto record = sim->snapshot();
    const auto& s = record.sessions.at(0);
    const auto keepAlives = s.messagesOfType(phonesim::kSimKeepAlive);
    ASSERT_GE(keepAlives.size(), 5u);
    for (const auto* k : keepAlives) {
        EXPECT_EQ(k->declaredLength, 0u);
        EXPECT_TRUE(k->body.empty());
    }
    // Five seconds of keep-alives: 1 s apart on average (the timer makes up
    // late ticks, so single gaps may be short or long on a busy machine).
    const double spanMs = static_cast<double>(keepAlives[4]->firstByteUs - keepAlives[0]->firstByteUs) / 1000.0;
    EXPECT_GT(spanMs, 4 * 1000 * 0.8);
    EXPECT_LT(spanMs, 4 * 1000 * 1.25);
    // The first one about a second after the Start reply.
    const auto* start = s.messagesOfType(phonesim::kSimStart).at(0);
    const double firstMs = static_cast<double>(keepAlives[0]->firstByteUs - start->completeUs) / 1000.0;
    EXPECT_GT(firstMs, 700.0);
    EXPECT_LT(firstMs, 2500.0);
    // The raw bytes: 69 00 00 00 00 after the handshake.
    const std::vector<uint8_t> keepAliveBytes{0x69, 0, 0, 0, 0};
    const auto& raw = s.received;
    const size_t handshakeBytes = 11 + 11 + 5;
    ASSERT_GE(raw.size(), handshakeBytes + 5 * 5);
    EXPECT_TRUE(std::equal(keepAliveBytes.begin(), keepAliveBytes.end(), raw.begin() + handshakeBytes));
}

TEST_F(MicControllerTest, PeerThatGoesAwayEndsTheConnectionWithAborted) {
    // The simulator resets the control connection at the second keep-alive
    // and stops the voice; the next keep-alive write (or the silent media
    // port) ends the connection.
    config.control.endAfterKeepAlives = 2;
    config.control.keepAliveEndAction = phonesim::ReplyAction::Reset;
    startSimulator();
    makeController();
    controller->setMediaReceiveWaitMsForTest(500);
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, 20s));
    EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, kResultAborted));
    const auto reports = callback.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[2], report(kStateDisconnecting));
}

// ----------------------------------------------------------------- voice ends

TEST_F(MicControllerTest, NoVoiceAtAllEndsWithNoAudioAfterThreeWaits) {
    config.media.enabled = false;
    startSimulator();
    makeController();  // the real 3000 ms wait per attempt
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, 30s));
    const auto connected = callback.last(kStateConnected).at;
    const auto ended = callback.last(kStateDisconnected);
    EXPECT_EQ(ended, report(kStateDisconnected, kResultNoAudio));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(ended.at - connected).count();
    EXPECT_GE(waited, 8500);
    EXPECT_LT(waited, 15000);
    EXPECT_EQ(ReceptionStats::instance()->received, 0u);
}

TEST_F(MicControllerTest, VoiceThenSilenceEndsWithAborted) {
    config.media.packetCount = 30;
    startSimulator();
    makeController();
    controller->setMediaReceiveWaitMsForTest(300);
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, 20s));
    EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, kResultAborted));
    controller.reset();
    EXPECT_EQ(ReceptionStats::instance()->received, 30u);
    EXPECT_NE(ReceptionStats::instance()->endTime, 0u);
}

TEST_F(MicControllerTest, ServerVersionOneEndsWithNoAudioAtOnce) {
    config.control.serverVersion = 1;
    config.media.enabled = false;
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
    const auto connected = callback.last(kStateConnected);
    ASSERT_EQ(connected, report(kStateConnected));
    const auto ended = callback.last(kStateDisconnected);
    EXPECT_EQ(ended, report(kStateDisconnected, kResultNoAudio));
    // No receive wait was involved.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended.at - connected.at).count(), 2000);
}

TEST_F(MicControllerTest, StopWithoutVoiceEndsPromptlyDespiteTheReceiveWait) {
    // The receive thread sits in a 3 s wait for a datagram; the stop must not
    // wait for it to run out.
    config.media.enabled = false;
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    const auto stopAt = std::chrono::steady_clock::now();
    controller->stop();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
    const auto ended = callback.last(kStateDisconnected);
    EXPECT_EQ(ended, report(kStateDisconnected, 0));  // the receive thread's own failure is ignored
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended.at - stopAt).count(), 2000);
}

TEST_F(MicControllerTest, DestroyedWhileConnectedDisconnectsFirst) {
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(sim->waitForPacketsSent(5, 5s));
    controller.reset();  // no receive or timer thread may outlive it (TSan/ASan)
    const auto reports = callback.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3], report(kStateDisconnected, 0));
    ASSERT_TRUE(sim->waitForSessionEnd(5s));
    EXPECT_EQ(sim->snapshot().sessions[0].end, phonesim::SessionEnd::ClientClosed);
}

TEST_F(MicControllerTest, DestroyedWhileConnectingFinishesTheAttemptAndDisconnects) {
    config.control.setup.delayMs = 300;
    startSimulator();
    makeController();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnecting, kConnectLimit));
    controller.reset();
    const auto reports = callback.reports();
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[1], report(kStateConnected));
    EXPECT_EQ(reports[3], report(kStateDisconnected, 0));
}

// ------------------------------------------------- a Bluetooth-like stream link

// The voice arrives on the control stream itself, whose reads wait without
// limit; only the teardown's interrupt can end a read that waits for voice.
class StreamLinkTest : public MicControllerTest {
protected:
    void startLinkedSimulator() {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        config.streamFd = fds[1];
        sim = std::make_unique<PhoneSimulator>(config);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        Settings::setTransportType(kTransportBluetooth);
        makeController();
        const int clientFd = fds[0];
        controller->setConnectOverrideForTest([clientFd](ServerConnection& connection) {
            auto control = std::make_unique<test::SocketPairStream>(clientFd);
            ControlStream* link = control.get();
            connection.adoptStreams(std::move(control), std::make_unique<BluetoothMediaStream>(link), 0);
            return 0;
        });
    }

    // Stops and returns how long the stop took to reach Disconnected.
    long long stopAndTime() {
        const auto stopAt = std::chrono::steady_clock::now();
        controller->stop();
        EXPECT_TRUE(callback.waitForState(kStateDisconnected, kConnectLimit));
        return std::chrono::duration_cast<std::chrono::milliseconds>(callback.last(kStateDisconnected).at - stopAt)
            .count();
    }
};

TEST_F(StreamLinkTest, VoiceAndKeepAlivesShareTheLinkAndStopEndsPromptly) {
    startLinkedSimulator();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(sim->waitForMessages(phonesim::kSimKeepAlive, 2, 10s));  // written while voice is read
    EXPECT_LT(stopAndTime(), 2000);
    EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, 0));
    controller.reset();
    EXPECT_GT(ReceptionStats::instance()->received, 50u);
    const auto record = sim->snapshot();
    const auto& setup = *record.sessions.at(0).messagesOfType(phonesim::kSimSetup).at(0);
    EXPECT_EQ(setup.body, (std::vector<uint8_t>{2, 2, 0, 0, 0, 0}));  // no media port on a link
}

TEST_F(StreamLinkTest, StopWhileTheLinkCarriesNoVoiceEndsPromptly) {
    config.media.enabled = false;
    startLinkedSimulator();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateConnected, kConnectLimit));
    ASSERT_TRUE(sim->waitForMessages(phonesim::kSimKeepAlive, 1, 10s));  // the read is surely waiting
    EXPECT_LT(stopAndTime(), 2000);
    EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, 0));
}

TEST_F(StreamLinkTest, LinkLostDuringVoiceEndsWithAborted) {
    config.control.endAfterKeepAlives = 1;
    config.control.keepAliveEndAction = phonesim::ReplyAction::Close;
    startLinkedSimulator();
    controller->start();
    ASSERT_TRUE(callback.waitForState(kStateDisconnected, 10s));
    EXPECT_EQ(callback.last(kStateDisconnected), report(kStateDisconnected, kResultAborted));
}

}  // namespace
}  // namespace vexlink
