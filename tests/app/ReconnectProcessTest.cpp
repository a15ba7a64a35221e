// vexlink --reconnect as a real process against the phone simulator: what
// the user sees on the console and what a recording program hears.
#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "tests/control/ControllerTestSupport.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using phonesim::SimulatorConfig;

const std::string kConnecting = "\rConnecting... \n";
const std::string kConnected = "\rConnected     \n";
const std::string kRefused = kConnecting + "Error: Fail to connect to server.\n";
const std::string kStopped = "Disconencting...\n\rDisconnected  \n";

std::string hint(int seconds) { return "vexlink: reconnecting in " + std::to_string(seconds) + " s\n"; }

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ReconnectProcess : public ::testing::Test {
protected:
    void phone(SimulatorConfig config) {
        config.control.listenAddress = "127.0.0.1";
        sim = std::make_unique<phonesim::PhoneSimulator>(std::move(config));
        ASSERT_TRUE(sim->start());
        launch(sim->port());
    }
    void launch(int controlPort, std::vector<std::string> args = {"--reconnect"}) {
        args.insert(args.end(), {"-s", std::to_string(controlPort), "-m", std::to_string(mediaPort), "127.0.0.1"});
        child = std::make_unique<test::ChildProcess>(VEXLINK_BINARY, args, std::vector{alsa.environmentEntry()});
        child->start();
    }
    bool waitForError(const std::string& text, std::chrono::milliseconds limit = 30s) {
        for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(10ms)) {
            if (child->stderrText().find(text) != std::string::npos) return true;
        }
        return false;
    }

    test::AlsaRouting alsa;
    int mediaPort = test::reservePort(SOCK_DGRAM);
    std::unique_ptr<phonesim::PhoneSimulator> sim;
    std::unique_ptr<test::ChildProcess> child;
};

// The phone cannot start its microphone, then serves voice and resets the
// control connection, then refuses connections for a while (its server app
// restarting), then serves a different voice until Ctrl-C. The loopback
// device runs from the first end to the last: silence in between, no hole.
TEST_F(ReconnectProcess, KeepsTheMicrophoneAcrossEndsAndRefusals) {
    SimulatorConfig config;
    config.control.maxSessions = 3;
    config.adjustSession = [](uint32_t session, SimulatorConfig& c) {
        if (session == 0) c.control.start.status = 9;
        if (session == 1) {
            c.control.endAfterKeepAlives = 2;
            c.control.keepAliveEndAction = phonesim::ReplyAction::Reset;
            c.control.refuseAfterSessionMs = 3500;  // vexlink is back about 2 s after the reset
        }
        if (session == 2) c.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3000.0, 1000, 0.4);
    };
    phone(config);
    const std::string cannotStart = "Error: Cannot start mic on Android phone.\n";
    ASSERT_TRUE(child->waitForOutput(cannotStart, 30s)) << child->stdoutText();
    const auto firstEnd = Clock::now();
    ASSERT_TRUE(sim->waitUntil(
        [](const auto& r) { return r.sessions.size() == 3 && r.sessions[2].countMessages(phonesim::kSimKeepAlive) >= 2; },
        60s))
        << child->stdoutText() << child->stderrText();
    const auto signalled = Clock::now();
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);
    const auto exited = Clock::now();

    const std::string out = child->stdoutText();
    const size_t refusals = occurrences(out, kRefused);
    EXPECT_GE(refusals, 1u);
    std::string expected = kConnecting + cannotStart + kConnecting + kConnected + "Disconencting...\nAborted.\n";
    std::string hints = hint(1) + hint(1);  // after a connection that carried voice the waits start over
    for (size_t i = 0; i < refusals; ++i) {
        expected += kRefused;
        hints += hint(std::min(2 << i, 10));
    }
    EXPECT_EQ(out, expected + kConnecting + kConnected + kStopped);
    EXPECT_EQ(child->stderrText(), hints);

    ASSERT_TRUE(sim->waitForSessionEnd(10s));
    const auto record = sim->snapshot();
    ASSERT_EQ(record.sessions.size(), 3u);
    EXPECT_EQ(record.sessions[2].end, phonesim::SessionEnd::ClientClosed);
    const auto samples = alsa.readLoopback();
    // A frame every 20 ms from the first end to Ctrl-C (the exit may take
    // longer under a sanitizer), give or take the moments the test saw them.
    const double heard = double(samples.size()) / 48000.0;
    EXPECT_GT(heard, std::chrono::duration<double>(signalled - firstEnd).count() - 0.6);
    EXPECT_LT(heard, std::chrono::duration<double>(exited - firstEnd).count() + 0.3);
    // Silence in the gap: the fade of the first voice, the waits and the
    // refused attempt, up to the second voice.
    size_t run = 0, longest = 0;
    for (const int16_t s : samples) longest = std::max(longest, run = s == 0 ? run + 1 : 0);
    EXPECT_GT(longest, size_t(2 * 48000));
    const auto match = test::matchFrames(test::splitFrames(samples), test::referenceFrames(record.sessions[2]));
    EXPECT_GE(match.matched, 40u);
    EXPECT_TRUE(match.inOrder);
}

// The phone's server is of another generation: trying again cannot help.
TEST_F(ReconnectProcess, MismatchIsNotRetried) {
    SimulatorConfig config;
    config.control.maxSessions = 2;
    config.control.hello.status = 1;
    phone(config);
    EXPECT_EQ(child->wait(30s), 0);
    EXPECT_EQ(child->stdoutText(),
              kConnecting + "Error: Client and server mismatch. Please install latest server and client.\n");
    EXPECT_EQ(child->stderrText(), "");
    EXPECT_EQ(sim->snapshot().sessions.size(), 1u);
}

// Ctrl-C while vexlink waits to try again ends the run as it ends an attempt.
TEST_F(ReconnectProcess, CtrlCDuringTheWaitEndsWithinTwoSeconds) {
    const test::BoundSocket refusing(SOCK_STREAM);  // bound, not listening
    launch(refusing.port);
    ASSERT_TRUE(waitForError(hint(1) + hint(2))) << child->stderrText();
    const auto signalled = Clock::now();
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);
    EXPECT_LT(Clock::now() - signalled, 2s);
    const std::string out = child->stdoutText();
    const size_t refusals = occurrences(out, kRefused);  // two, unless the machine stalled
    EXPECT_GE(refusals, 2u);
    std::string expected;
    for (size_t i = 0; i < refusals; ++i) expected += kRefused;
    EXPECT_EQ(out, expected + kStopped);
}

}  // namespace
}  // namespace vexlink
