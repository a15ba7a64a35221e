// --reconnect: the rule the controller and the front end share, and the
// vexlink binary against the phone simulator (what the user sees and what a
// recording program hears).
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "ControllerTestSupport.h"
#include "control/ReconnectPolicy.h"
#include "settings/Settings.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
const std::string kConnecting = "\rConnecting... \n";
const std::string kRefused = kConnecting + "Error: Fail to connect to server.\n";
const std::string kStopped = "Disconencting...\n\rDisconnected  \n";
std::string hint(int seconds) { return "vexlink: reconnecting in " + std::to_string(seconds) + " s\n"; }

TEST(ReconnectPolicyTest, RetriedEndsAndTheirWaits) {
    Settings::setReconnect(true);
    const std::pair<int32_t, bool> ends[] = {{0, false},  {-70, false}, {-1, false}, {-20, true}, {-25, true},
                                             {-27, true}, {-28, true},  {-29, true}, {-71, true}};
    for (const auto& [result, retried] : ends) EXPECT_EQ(ReconnectPolicy::followsEnd(result), retried) << result;
    Settings::setReconnect(false);
    EXPECT_FALSE(ReconnectPolicy::followsEnd(-28));
    const std::pair<bool, int32_t> waits[] = {{false, 1000}, {false, 2000}, {false, 4000},
                                              {false, 8000}, {false, 10000}, {false, 10000},
                                              {true, 1000},  {false, 2000},  {true, 1000}};
    ReconnectPolicy policy;  // {the connection carried voice, the wait}
    for (const auto& [carriedVoice, waitMs] : waits) EXPECT_EQ(policy.nextWaitMs(carriedVoice), waitMs);
}

struct ReconnectProcess : ::testing::Test {
    void phone(const phonesim::SimulatorConfig& config) {
        sim = std::make_unique<phonesim::PhoneSimulator>(config);
        ASSERT_TRUE(sim->start());
        const char* tsan = std::getenv("TSAN_OPTIONS");  // the exit bound is vexlink's, not a sanitizer's
        const std::string tsanOptions = std::string("TSAN_OPTIONS=") + (tsan ? tsan : "") + ":atexit_sleep_ms=0";
        child = std::make_unique<test::ChildProcess>(
            // The queue plays frames as they came, so the loopback card holds
            // them bit for bit on the frame grid (the adaptive playout's are
            // checked where its resampling can be held still).
            VEXLINK_BINARY, std::vector<std::string>{"--reconnect", "--jitter-buffer", "queue", "-s",
                                                     std::to_string(sim->port()), "-m",
                                                     std::to_string(test::reservePort(SOCK_DGRAM)), "127.0.0.1"},
            std::vector{alsa.environmentEntry(), tsanOptions});
        child->start();
    }
    test::AlsaRouting alsa;
    std::unique_ptr<phonesim::PhoneSimulator> sim;
    std::unique_ptr<test::ChildProcess> child;
};

// The phone cannot start its microphone; serves voice and resets the control
// connection; refuses connections for a while (its app restarting); serves
// another voice and resets again; Ctrl-C comes in the wait that follows. The
// loopback device runs from the first end to the last, silent in the gaps.
TEST_F(ReconnectProcess, KeepsTheMicrophoneAcrossEndsAndRefusalsUntilCtrlC) {
    phonesim::SimulatorConfig config;
    config.control.maxSessions = 3;  // then the port refuses for good
    config.control.endAfterKeepAlives = 2;
    config.control.keepAliveEndAction = phonesim::ReplyAction::Reset;
    config.adjustSession = [](uint32_t session, phonesim::SimulatorConfig& c) {
        c.control.start.status = session == 0 ? 9 : 0;
        c.control.refuseAfterSessionMs = session == 1 ? 3500 : 0;  // vexlink is back about 2 s after the reset
        if (session == 2) c.media.signal = std::make_shared<phonesim::ChirpSignal>();
    };
    phone(config);
    const std::string cannotStart = kConnecting + "Error: Cannot start mic on Android phone.\n";
    const std::string voice = kConnecting + "\rConnected     \nDisconencting...\nAborted.\n";
    ASSERT_TRUE(child->waitForOutput(cannotStart, 30s));
    const auto firstEnd = Clock::now();
    ASSERT_TRUE(child->waitForOutput(kRefused + voice, 60s)) << child->stdoutText();  // now a wait of 1 s
    const auto signalled = Clock::now();
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);
    const auto exited = Clock::now();
    EXPECT_LT(exited - signalled, 5s);  // room for a loaded machine
    const std::string out = child->stdoutText(), err = child->stderrText();  // one refusal or more
    EXPECT_TRUE(out.starts_with(cannotStart + voice + kRefused) && out.ends_with(kRefused + voice + kStopped)) << out;
    EXPECT_TRUE(err.starts_with(hint(1) + hint(1) + hint(2)) && err.ends_with(hint(1))) << err;  // 1 s after voice

    // A frame every 20 ms from the first end to Ctrl-C; session 2's voice in it.
    const auto samples = alsa.readLoopback();
    EXPECT_GT(samples.size() / 48000.0, std::chrono::duration<double>(signalled - firstEnd).count() - 0.6);
    EXPECT_LT(samples.size() / 48000.0, std::chrono::duration<double>(exited - firstEnd).count() + 0.3);
    size_t run = 0, longest = 0;
    for (const int16_t s : samples) longest = std::max(longest, run = s == 0 ? run + 1 : 0);
    EXPECT_GT(longest, 2u * 48000u);
    const auto reference = test::referenceFrames(sim->snapshot().sessions.at(2));
    const auto match = test::matchFrames(test::splitFrames(samples), reference);
    EXPECT_GE(match.matched, 40u);
    EXPECT_TRUE(match.inOrder);
}

TEST_F(ReconnectProcess, MismatchIsNotRetried) {  // a retry would wait, then try for ever
    phonesim::SimulatorConfig config;
    config.control.hello.status = 1;
    phone(config);
    EXPECT_EQ(child->wait(30s), 0);
    EXPECT_EQ(child->stdoutText(),
              kConnecting + "Error: Client and server mismatch. Please install latest server and client.\n");
}

}  // namespace
}  // namespace vexlink
