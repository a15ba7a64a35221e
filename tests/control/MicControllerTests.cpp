// The controller in-process against the phone simulator on 127.0.0.1, with
// ALSA routed to files. ctest runs each case in a process of its own.

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <numeric>
#include <tuple>

#include "AlsaRouting.h"
#include "audio/AlsaApi.h"
#include "audio/LoopbackWriter.h"
#include "control/MicController.h"
#include "control/Settings.h"
#include "media/BluetoothMediaStream.h"
#include "media/ReceptionStats.h"
#include "tests/control/ControllerTestSupport.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"
#include "transport/ServerConnection.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using phonesim::ReplyAction;
using phonesim::SimulatorConfig;
using test::report;
using Reports = std::vector<test::StateReport>;

long long msBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// The RFCOMM link stand-in: one end of a socket pair whose reads wait without
// limit (unless an idle limit is set); only interrupt() ends a waiting read.
class SocketPairStream final : public ControlStream {
public:
    explicit SocketPairStream(int fd) : fd_(fd) {}
    ~SocketPairStream() override { close(); }
    int32_t open() override { return 0; }
    void close() override {
        if (const int fd = fd_.exchange(-1); fd >= 0) ::close(fd);
    }
    void read(uint8_t* buffer, int32_t length) override {
        for (int32_t got = 0; got < length;) {
            pollfd p{fd_.load(), POLLIN, 0};
            const int limit = idleLimitMs_.load();
            if (p.fd < 0 || interrupted_ || ::poll(&p, 1, limit > 0 ? limit : -1) == 0) throw SocketErrorException(0);
            const ssize_t n = ::recv(p.fd, buffer + got, size_t(length - got), 0);
            if (n <= 0 || interrupted_) throw SocketErrorException(0);
            got += int32_t(n);
        }
    }
    void write(const uint8_t* buffer, int32_t length) override {
        for (int32_t sent = 0; sent < length;) {
            const ssize_t n = ::send(fd_.load(), buffer + sent, size_t(length - sent), MSG_NOSIGNAL);
            if (n <= 0) throw SocketErrorException(0);
            sent += int32_t(n);
        }
    }
    void setReadIdleLimit(int32_t ms) override { idleLimitMs_ = ms; }
    void interrupt() override {
        interrupted_ = true;
        ::shutdown(fd_.load(), SHUT_RDWR);
    }

private:
    std::atomic<int> fd_;
    std::atomic<int32_t> idleLimitMs_{0};
    std::atomic<bool> interrupted_{false};
};

class ControllerTest : public ::testing::Test {
public:
    void SetUp() override {
        Settings::resetForTest();
        config.control.listenAddress = "127.0.0.1";
        config.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3000.0, 1000, 0.4);
    }
    void startSimulator() {
        sim = std::make_unique<phonesim::PhoneSimulator>(config);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        useWifi(sim->port());
    }
    void useWifi(int32_t controlPort) {
        mediaPort = test::freePort(SOCK_DGRAM);
        Settings::setTransportType(kTransportWifi);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setControlPort(controlPort);
        Settings::setMediaPort(mediaPort);
    }
    // The voice arrives on the control stream itself, as over Bluetooth.
    void startLinkedSimulator() {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        config.streamFd = fds[1];
        sim = std::make_unique<phonesim::PhoneSimulator>(config);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        Settings::setTransportType(kTransportBluetooth);
        makeController();
        controller->setConnectOverrideForTest([fd = fds[0]](ServerConnection& connection) {
            auto control = std::make_unique<SocketPairStream>(fd);
            ControlStream* link = control.get();
            connection.adoptStreams(std::move(control), std::make_unique<BluetoothMediaStream>(link), 0);
            return 0;
        });
    }
    void makeController() {
        if (!controller) controller = std::make_unique<MicController>(&callback, loopback.get());
    }
    void start(int32_t mediaWaitMs = 0) {
        makeController();
        if (mediaWaitMs > 0) controller->setMediaReceiveWaitMsForTest(mediaWaitMs);
        controller->start();
    }
    // Waits for the end (stopping first if asked) and joins the controller.
    test::StateReport finish(bool stop, std::chrono::seconds limit = 10s) {
        if (stop) controller->stop();
        EXPECT_TRUE(callback.waitFor(kStateDisconnected, limit));
        controller.reset();
        loopback.reset();  // flushes the routed file
        return callback.last(kStateDisconnected);
    }
    bool waitForKeepAlives(size_t more) {
        const auto* s = sim->snapshot().lastSession();
        return sim->waitForMessages(phonesim::kSimKeepAlive, (s ? s->countMessages(phonesim::kSimKeepAlive) : 0) + more,
                                    10s);
    }

    test::AlsaRouting alsa;  // before any writer opens a device
    std::unique_ptr<LoopbackWriter> loopback = std::make_unique<LoopbackWriter>(realAlsaApi());
    SimulatorConfig config;
    std::unique_ptr<phonesim::PhoneSimulator> sim;
    test::RecordingCallback callback;
    std::unique_ptr<MicController> controller;  // destroyed first
    int32_t mediaPort = 0;
    std::unique_ptr<test::BoundSocket> blocker;  // holds the media port in one case
    bool wantSimulator = true;
};

const Reports kNormalSession{report(kStateConnecting), report(kStateConnected), report(kStateDisconnecting),
                             report(kStateDisconnected)};

TEST_F(ControllerTest, NormalSessionAndRepeatedStarts) {
    config.control.maxSessions = 2;
    startSimulator();
    start();
    controller->start();  // while Connecting
    ASSERT_TRUE(callback.waitFor(kStateConnected, 10s));
    ASSERT_TRUE(sim->waitForPacketsSent(10, 5s));
    controller->start();  // while Connected
    finish(true);
    EXPECT_EQ(callback.reports(), kNormalSession);
    EXPECT_GT(ReceptionStats::instance()->received, 0u);
    ASSERT_TRUE(sim->waitForSessionEnd(5s));
    const auto record = sim->snapshot();
    ASSERT_EQ(record.sessions.size(), 1u);
    const auto& s = record.sessions[0];
    EXPECT_EQ(s.end, phonesim::SessionEnd::ClientClosed);
    ASSERT_GE(s.messages.size(), 3u);
    EXPECT_EQ(s.messages[0].type, phonesim::kSimHello);
    EXPECT_EQ(s.messages[1].body, (std::vector<uint8_t>{2, 2, 0, 0, uint8_t(mediaPort >> 8), uint8_t(mediaPort)}));
    EXPECT_EQ(s.messages[2].type, phonesim::kSimStart);
}

TEST_F(ControllerTest, StopBeforeConnectingIsIgnored) {
    makeController();
    controller->stop();
    controller.reset();  // handles the Disconnect and the Quit behind it
    EXPECT_TRUE(callback.reports().empty());
}

TEST_F(ControllerTest, StopWhileConnectingConnectsThenDisconnects) {
    config.control.hello.delayMs = 400;
    config.control.start.delayMs = 400;
    startSimulator();
    start();
    ASSERT_TRUE(callback.waitFor(kStateConnecting, 10s));
    finish(true);
    EXPECT_EQ(callback.reports(), kNormalSession);
}

using Apply = void (*)(ControllerTest&);
class HandshakeFaultTest : public ControllerTest,
                           public ::testing::WithParamInterface<std::tuple<const char*, Apply, int32_t>> {};

TEST_P(HandshakeFaultTest, EndsTheAttemptWithItsResult) {
    config.media.enabled = false;
    std::get<1>(GetParam())(*this);
    if (!sim && wantSimulator) startSimulator();
    start();
    EXPECT_EQ(finish(false), report(kStateDisconnected, std::get<2>(GetParam())));  // detail 0 included
    EXPECT_EQ(callback.reports().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HandshakeFaultTest,
    ::testing::Values(
        std::tuple("HelloWrongType", Apply([](ControllerTest& t) { t.config.control.hello.type = 102; }),
                   kResultMismatch),
        std::tuple("SetupStatus12", Apply([](ControllerTest& t) { t.config.control.setup.status = 12; }),
                   kResultMismatch),
        std::tuple("HelloStatus2", Apply([](ControllerTest& t) { t.config.control.hello.status = 2; }),
                   kResultCannotStart),
        std::tuple("StartStatus9", Apply([](ControllerTest& t) { t.config.control.start.status = 9; }),
                   kResultCannotStart),
        std::tuple("SetupHalfThenReset", Apply([](ControllerTest& t) {
                       t.config.control.setup.action = ReplyAction::Reset;
                       t.config.control.setup.partialBytes = 3;
                   }),
                   kResultHandshakeSocketError),
        std::tuple("AcceptThenClose",
                   Apply([](ControllerTest& t) { t.config.control.onAccept = phonesim::AcceptAction::Close; }),
                   kResultHandshakeSocketError),
        std::tuple("RefusedControlPort", Apply([](ControllerTest& t) {
                       t.wantSimulator = false;
                       t.useWifi(test::freePort(SOCK_STREAM));
                   }),
                   kResultConnectFailed),
        std::tuple("BusyMediaPort", Apply([](ControllerTest& t) {
                       t.startSimulator();
                       t.blocker = std::make_unique<test::BoundSocket>(SOCK_DGRAM, t.mediaPort);
                   }),
                   kResultMediaPortFailed),
        std::tuple("UnknownTransport", Apply([](ControllerTest& t) {
                       t.wantSimulator = false;
                       Settings::setTransportType(2);
                   }),
                   kResultBadTransport)),
    [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST_F(ControllerTest, KeepAliveOnceASecond) {
    startSimulator();
    start();
    ASSERT_TRUE(sim->waitForMessages(phonesim::kSimKeepAlive, 5, 15s));
    finish(true);
    const auto record = sim->snapshot();
    const auto& s = record.sessions.at(0);
    const auto keepAlives = s.messagesOfType(phonesim::kSimKeepAlive);
    // 1 s apart on average (the timer makes up late ticks, so single gaps vary
    // on a busy machine); the first about a second after the Start reply.
    EXPECT_NEAR(double(keepAlives[4]->firstByteUs - keepAlives[0]->firstByteUs) / 1e6, 4.0, 0.9);
    EXPECT_NEAR(double(keepAlives[0]->firstByteUs - s.messagesOfType(phonesim::kSimStart).at(0)->completeUs) / 1e6,
                1.5, 0.8);
    const std::vector<uint8_t> bytes{0x69, 0, 0, 0, 0};
    ASSERT_GE(s.received.size(), 27u + 25u);  // after 27 handshake bytes
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), s.received.begin() + 27));
}

TEST_F(ControllerTest, PeerResetDuringVoiceEndsWithAborted) {
    config.control.endAfterKeepAlives = 2;
    config.control.keepAliveEndAction = ReplyAction::Reset;
    startSimulator();
    start(500);
    EXPECT_EQ(finish(false, 20s), report(kStateDisconnected, kResultAborted));
    EXPECT_EQ(callback.reports().size(), 4u);
}

TEST_F(ControllerTest, NoVoiceEndsWithNoAudioAfterThreeWaits) {
    config.media.enabled = false;
    startSimulator();
    start();  // the real 3 s wait per attempt
    ASSERT_TRUE(callback.waitFor(kStateConnected, 10s));
    const auto connectedAt = callback.last(kStateConnected).at;
    const auto ended = finish(false, 30s);
    EXPECT_EQ(ended, report(kStateDisconnected, kResultNoAudio));
    EXPECT_NEAR(double(msBetween(connectedAt, ended.at)), 9000.0, 3000.0);
}

TEST_F(ControllerTest, VoiceThenSilenceEndsWithAborted) {
    config.media.packetCount = 30;
    startSimulator();
    start(300);
    EXPECT_EQ(finish(false, 20s), report(kStateDisconnected, kResultAborted));
    EXPECT_EQ(ReceptionStats::instance()->received, 30u);
}

TEST_F(ControllerTest, ServerVersionOneEndsWithNoAudioAtOnce) {
    config.control.serverVersion = 1;
    config.media.enabled = false;
    startSimulator();
    start();
    const auto ended = finish(false);
    EXPECT_EQ(ended, report(kStateDisconnected, kResultNoAudio));
    EXPECT_LT(msBetween(callback.last(kStateConnected).at, ended.at), 2000);
}

// A read waiting for voice (3 s datagram wait, or without limit on the link)
// must not hold up the stop.
class StopWithoutVoiceTest : public ControllerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StopWithoutVoiceTest, EndsPromptly) {
    config.media.enabled = false;
    GetParam() ? startLinkedSimulator() : startSimulator();
    start();
    ASSERT_TRUE(callback.waitFor(kStateConnected, 10s));
    ASSERT_TRUE(waitForKeepAlives(1));  // the read surely waits by now
    const auto stopAt = std::chrono::steady_clock::now();
    const auto ended = finish(true);
    EXPECT_EQ(ended, report(kStateDisconnected));
    EXPECT_LT(msBetween(stopAt, ended.at), 2000);
}
INSTANTIATE_TEST_SUITE_P(Links, StopWithoutVoiceTest, ::testing::Values(false, true),
                         [](const auto& info) { return std::string(info.param ? "Link" : "Wifi"); });

TEST_F(ControllerTest, LinkCarriesVoiceAndKeepAlives) {
    startLinkedSimulator();
    start();
    ASSERT_TRUE(callback.waitFor(kStateConnected, 10s));
    ASSERT_TRUE(waitForKeepAlives(2));  // written while voice is read
    EXPECT_EQ(finish(true), report(kStateDisconnected));
    EXPECT_GT(ReceptionStats::instance()->received, 50u);
    const auto record = sim->snapshot();
    EXPECT_EQ(record.sessions.at(0).messagesOfType(phonesim::kSimSetup).at(0)->body,
              (std::vector<uint8_t>{2, 2, 0, 0, 0, 0}));  // no media port on a link
}

// Voice to the routed devices, frame by frame against the simulator's packets.
constexpr uint64_t kPackets = 150;
class VoiceFlowTest : public ControllerTest, public ::testing::WithParamInterface<std::tuple<int, bool>> {};

TEST_P(VoiceFlowTest, LoopbackHoldsTheSignalFrameByFrame) {
    const auto [version, playLocally] = GetParam();
    config.control.serverVersion = uint8_t(version);
    config.media.packetCount = kPackets;
    Settings::setPlayLocally(playLocally);
    startSimulator();
    start();
    ASSERT_TRUE(callback.waitFor(kStateConnected, 10s));
    ASSERT_TRUE(sim->waitForMediaFinished(30s));
    ASSERT_TRUE(waitForKeepAlives(2));  // 50 ticks each: the queue has played out
    const PlayoutFigures figures = controller->playoutFigures();
    EXPECT_EQ(finish(true), report(kStateDisconnected));
    const auto session = sim->snapshot().sessions.at(0);
    EXPECT_EQ(session.mediaVersion, version);
    const auto* stats = ReceptionStats::instance();
    EXPECT_EQ(stats->received, kPackets);
    EXPECT_EQ(figures.droppedFrames, stats->dropped);
    EXPECT_EQ(figures.freshFrames + stats->dropped, kPackets);
    EXPECT_EQ(stats->maxJitter >= 10.0, version == 4);  // only version 4 feeds the estimate

    const auto reference = test::referenceFrames(session);
    ASSERT_EQ(reference.size(), kPackets);
    const auto output = test::splitFrames(alsa.readLoopback());
    EXPECT_GE(output.size(), figures.freshFrames + figures.concealedTicks);  // a frame a tick from the first
    const auto match = test::matchFrames(output, reference);
    EXPECT_TRUE(match.inOrder);
    EXPECT_EQ(match.firstReference, 0u);
    EXPECT_EQ(match.matched, figures.freshFrames);

    const auto local = test::splitFrames(alsa.readDefault());
    if (!playLocally) {
        EXPECT_TRUE(local.empty());
        return;
    }
    // The local device may lose a block of its own: compare the common stretch.
    const size_t common = std::min(output.size(), local.size());
    EXPECT_GE(common + 3, output.size());
    EXPECT_GE(std::inner_product(output.begin(), output.begin() + long(common), local.begin(), size_t(0),
                                 std::plus<>(), std::equal_to<>()) + 3,
              common);
}
INSTANTIATE_TEST_SUITE_P(Versions, VoiceFlowTest,
                         ::testing::Values(std::tuple(2, false), std::tuple(3, false), std::tuple(4, false),
                                           std::tuple(4, true)),
                         [](const auto& info) {
                             return "V" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "PlayLocally" : "");
                         });

}  // namespace
}  // namespace vexlink
