// Whole sessions: the real vexlink binary against the phone simulator on
// 127.0.0.1, with ALSA routed to files.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "tests/control/ControllerTestSupport.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using phonesim::PhoneSimulator;
using phonesim::SimulatorConfig;

// The "dropped" figure of the -d report (frames the playout trimmed).
unsigned reportedDropped(const std::string& out) {
    unsigned dropped = ~0u;
    const size_t at = out.find("dropped: ");
    if (at != std::string::npos) std::sscanf(out.c_str() + at, "dropped: %u", &dropped);
    return dropped;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        config.control.listenAddress = "127.0.0.1";
        config.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3000.0, 1000, 0.4);
    }

    void startSimulator() {
        sim = std::make_unique<PhoneSimulator>(config);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
    }

    std::unique_ptr<test::ChildProcess> client(std::vector<std::string> extraArgs, int32_t controlPort) {
        mediaPort = test::freePort(SOCK_DGRAM);
        std::vector<std::string> args{"-t", "WIFI", "-s", std::to_string(controlPort), "-m", std::to_string(mediaPort)};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        args.push_back("127.0.0.1");
        auto child = std::make_unique<test::ChildProcess>(VEXLINK_BINARY, args,
                                                          std::vector<std::string>{alsa.environmentEntry()});
        child->start();
        return child;
    }

    // Waits until the simulator has seen `more` keep-alives beyond those it
    // has now. Each one leaves after 50 more playout ticks, so this is proof
    // that the client has played on for that long.
    bool waitForKeepAlives(size_t more) {
        const size_t now = sim->snapshot().lastSession()->countMessages(phonesim::kSimKeepAlive);
        return sim->waitForMessages(phonesim::kSimKeepAlive, now + more, 10s);
    }

    test::AlsaRouting alsa;
    SimulatorConfig config;
    std::unique_ptr<PhoneSimulator> sim;
    int32_t mediaPort = 0;
};

class InterruptedSessionTest : public SessionTest, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptedSessionTest, CtrlCEndsAnOrderlySessionWithTheReport) {
    constexpr uint64_t kPackets = 100;
    config.control.serverVersion = static_cast<uint8_t>(GetParam());
    config.media.packetCount = kPackets;
    startSimulator();
    auto child = client({"-d"}, sim->port());

    ASSERT_TRUE(child->waitForOutput("\rConnected     ", 10s)) << child->stdoutText();
    ASSERT_TRUE(sim->waitForMediaFinished(10s));
    // Two full keep-alive intervals after the last packet: 100 ticks, enough
    // to play out even a queue that holds every packet.
    ASSERT_TRUE(waitForKeepAlives(3));
    child->signal(SIGINT);
    ASSERT_EQ(child->wait(10s), 0);

    const std::string out = child->stdoutText();
    const size_t connecting = out.find("\rConnecting... \n");
    const size_t connected = out.find("\rConnected     \n");
    const size_t disconnecting = out.find("Disconencting...\n");
    const size_t disconnected = out.find("\rDisconnected  \n");
    ASSERT_NE(connecting, std::string::npos) << out;
    ASSERT_NE(connected, std::string::npos) << out;
    ASSERT_NE(disconnecting, std::string::npos) << out;
    ASSERT_NE(disconnected, std::string::npos) << out;
    EXPECT_LT(connecting, connected);
    EXPECT_LT(connected, disconnecting);
    EXPECT_LT(disconnecting, disconnected);

    // The report follows, and counts every packet the simulator sent.
    const std::string report = out.substr(disconnected);
    EXPECT_NE(report.find("Start:\t"), std::string::npos) << report;
    EXPECT_NE(report.find("received: " + std::to_string(kPackets) + "\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("missed: 0\r\n"), std::string::npos) << report;
    if (GetParam() < 4) {
        EXPECT_NE(report.find("max jitter : 0\r\n"), std::string::npos) << report;
    }

    // What reached the loopback card (flushed at the process's exit) is the
    // simulator's voice, in order, from the first frame on.
    const auto reference = test::referenceFrames(*sim->snapshot().lastSession());
    ASSERT_EQ(reference.size(), kPackets);
    const auto output = test::splitFrames(alsa.readLoopback());
    const auto match = test::matchFrames(output, reference);
    EXPECT_TRUE(match.inOrder);
    EXPECT_EQ(match.firstReference, 0u);
    // Every packet was played, except those the playout trimmed (reported).
    const unsigned dropped = reportedDropped(report);
    EXPECT_LE(dropped, kPackets / 6 + 1);  // at most one per six ticks
    EXPECT_GE(match.matched + dropped + 1, kPackets);
    EXPECT_LE(match.matched + dropped, kPackets);
    EXPECT_TRUE(alsa.readDefault().empty());  // no -l
}

INSTANTIATE_TEST_SUITE_P(Versions, InterruptedSessionTest, ::testing::Values(3, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return "V" + std::to_string(info.param); });

TEST_F(SessionTest, CtrlCWithoutVoiceEndsWithinTwoSeconds) {
    // The receive thread sits in a 3 s wait for a datagram that never comes;
    // Ctrl-C must not wait for it.
    config.media.enabled = false;
    startSimulator();
    auto child = client({}, sim->port());
    ASSERT_TRUE(child->waitForOutput("\rConnected     ", 10s)) << child->stdoutText();
    const auto interruptedAt = std::chrono::steady_clock::now();
    child->signal(SIGINT);
    // The final line is printed right before the process exits; the exit
    // itself may take longer under a sanitizer (unmapping the routed test
    // device's large buffers), which is not the client's doing.
    ASSERT_TRUE(child->waitForOutput("\rDisconnected  \n", 10s)) << child->stdoutText();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            interruptedAt);
    EXPECT_LT(took.count(), 2000);
    EXPECT_EQ(child->wait(10s), 0);
}

TEST_F(SessionTest, PlayLocallyWritesTheVoiceToTheDefaultDevice) {
    config.media.packetCount = 50;
    startSimulator();
    auto child = client({"-l", "-d"}, sim->port());
    ASSERT_TRUE(child->waitForOutput("\rConnected     ", 10s)) << child->stdoutText();
    ASSERT_TRUE(sim->waitForMediaFinished(10s));
    ASSERT_TRUE(waitForKeepAlives(3));  // played out, as above
    child->signal(SIGINT);
    ASSERT_EQ(child->wait(10s), 0);
    const unsigned dropped = reportedDropped(child->stdoutText());
    ASSERT_NE(dropped, ~0u) << child->stdoutText();
    const auto reference = test::referenceFrames(*sim->snapshot().lastSession());
    const auto local = test::splitFrames(alsa.readDefault());
    const auto match = test::matchFrames(local, reference);
    EXPECT_TRUE(match.inOrder);
    EXPECT_GE(match.matched + dropped + 1, reference.size());
    // The same frames went to the loopback card.
    EXPECT_EQ(test::splitFrames(alsa.readLoopback()).size(), local.size());
}

TEST_F(SessionTest, RefusedControlPortPrintsTheErrorAndEndsWithZero) {
    auto child = client({}, test::freePort(SOCK_STREAM));
    ASSERT_EQ(child->wait(10s), 0);
    const std::string out = child->stdoutText();
    EXPECT_NE(out.find("\rConnecting... \n"), std::string::npos) << out;
    EXPECT_NE(out.find("Error: Fail to connect to server.\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Connected"), std::string::npos) << out;
}

TEST_F(SessionTest, VoiceThatStopsEndsWithAborted) {
    config.media.packetCount = 25;
    startSimulator();
    auto child = client({}, sim->port());
    ASSERT_EQ(child->wait(30s), 0);  // three 3 s waits after the last packet
    const std::string out = child->stdoutText();
    EXPECT_NE(out.find("\rConnected     \n"), std::string::npos) << out;
    EXPECT_NE(out.find("Aborted.\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace vexlink
