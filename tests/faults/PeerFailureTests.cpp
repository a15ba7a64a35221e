// The vexlink binary as a real process against a phone that fails: it resets
// the control connection; and Ctrl-C (SIGINT) in the middle of trouble.
// Checked: the console lines, the exit status, and how long each end takes.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <string>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "FaultLimits.h"
#include "PortReservation.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink::test {
namespace {

using namespace std::chrono_literals;
using phonesim::SimulatorConfig;

const std::string kConnected = "\rConnecting... \n\rConnected     \n";

// Process exit under a sanitizer (leak check included, TSan releasing its
// shadow memory) adds its own time to every end.
constexpr double kExitSlackMs = kSanitized ? 8000.0 : 1000.0;

class PeerFailure : public ::testing::Test {
protected:
    // Starts the simulator and vexlink against it, and waits for Connected.
    void launch(void (*configure)(SimulatorConfig&)) {
        SimulatorConfig c;
        c.control.listenAddress = "127.0.0.1";
        c.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3400.0, 1000, 0.4);
        c.media.recordPayloads = false;
        configure(c);
        sim = std::make_unique<phonesim::PhoneSimulator>(c);
        std::string error;
        ASSERT_TRUE(sim->start(&error)) << error;
        child = std::make_unique<ChildProcess>(
            VEXLINK_BINARY,
            std::vector<std::string>{"-s", std::to_string(sim->port()), "-m", std::to_string(reservePort(SOCK_DGRAM)),
                                     "127.0.0.1"},
            std::vector<std::string>{alsa.environmentEntry()});
        child->start();
        ASSERT_TRUE(child->waitForOutput(kConnected, 20s)) << child->stdoutText();
    }
    // The run ends with `output`, within `limitMs` of `from`, and the process
    // follows with status 0 (not killed by SIGPIPE on a later write).
    void expectEnd(std::chrono::steady_clock::time_point from, const std::string& output, double limitMs) {
        const auto since = [from] {
            return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
        };
        ASSERT_TRUE(child->waitForOutput(output.substr(kConnected.size()), 40s)) << child->stdoutText();
        const double endMs = since();
        EXPECT_EQ(child->wait(30s), 0);
        const double exitMs = since();
        EXPECT_EQ(child->stdoutText(), output);
        EXPECT_LE(endMs, limitMs);
        EXPECT_LE(exitMs, endMs + kExitSlackMs);
    }

    AlsaRouting alsa;  // first: the child's ALSA goes to this folder
    std::unique_ptr<phonesim::PhoneSimulator> sim;
    std::unique_ptr<ChildProcess> child;
};

TEST_F(PeerFailure, ResetOfTheControlConnectionDuringVoiceEndsWithAborted) {
    // Endless voice; at the second keep-alive the phone resets the control
    // connection (an RST, not a FIN) and its voice stops.
    ASSERT_NO_FATAL_FAILURE(launch([](SimulatorConfig& c) {
        c.control.endAfterKeepAlives = 2;
        c.control.keepAliveEndAction = phonesim::ReplyAction::Reset;
    }));
    ASSERT_TRUE(sim->waitForSessionEnd(20s));
    // The next keep-alive (at most a second away) finds the reset, now and
    // then the one after it; the reads would take 9 s.
    expectEnd(std::chrono::steady_clock::now(), kConnected + "Disconencting...\nAborted.\n", kSanitized ? 4000.0 : 3000.0);
    const phonesim::SimulatorRecord r = sim->snapshot();
    EXPECT_EQ(r.lastSession()->end, phonesim::SessionEnd::Fault);
    EXPECT_GT(r.lastSession()->counters.sent, 40u);
}

// Ctrl-C while the receive thread waits for a datagram that never comes, and
// while it is busy with 500 packets a second.
struct Trouble {
    const char* name;
    void (*configure)(SimulatorConfig&);
    uint64_t packetsBefore;  // sent before the Ctrl-C (the silent phone's all)
};
void PrintTo(const Trouble& t, std::ostream* out) { *out << t.name; }
class CtrlCInTrouble : public PeerFailure, public ::testing::WithParamInterface<Trouble> {};

TEST_P(CtrlCInTrouble, EndsWithinTwoSeconds) {
    ASSERT_NO_FATAL_FAILURE(launch(GetParam().configure));
    ASSERT_TRUE(sim->waitForPacketsSent(GetParam().packetsBefore, 20s));
    const auto at = std::chrono::steady_clock::now();
    child->signal(SIGINT);
    expectEnd(at, kConnected + "Disconencting...\n\rDisconnected  \n", kStopLimitMs);
}
INSTANTIATE_TEST_SUITE_P(
    Troubles, CtrlCInTrouble,
    ::testing::Values(Trouble{"Silence", [](SimulatorConfig& c) { c.media.durationMs = 1000; }, 50},
                      Trouble{"Flood", [](SimulatorConfig& c) { c.media.impairments.flood = 10; }, 1000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexlink::test
