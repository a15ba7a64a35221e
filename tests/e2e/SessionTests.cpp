// Whole sessions: the real vexlink binary against the phone simulator on
// 127.0.0.1, with ALSA routed to files.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "ControllerTestSupport.h"
#include "control/PlayoutTick.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;

// Versions 2 and 3 play through the queue, version 4 adaptive unless --jitter-buffer queue says otherwise.
struct Session {
    int version;
    std::vector<std::string> args;
};
class SessionTest : public ::testing::TestWithParam<Session> {};

TEST_P(SessionTest, CtrlCEndsAnOrderlySessionWithTheReport) {
    constexpr unsigned kPackets = 100;
    const bool adaptive = GetParam().version >= 4 && GetParam().args.empty();  // the default from version 4
    test::AlsaRouting alsa;
    phonesim::SimulatorConfig config;
    config.control.listenAddress = "127.0.0.1";
    config.control.serverVersion = uint8_t(GetParam().version);
    config.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3000.0, 1000, 0.4);
    config.media.packetCount = kPackets;
    phonesim::PhoneSimulator sim(config);
    std::string error;
    ASSERT_TRUE(sim.start(&error)) << error;
    std::vector<std::string> args{"-t", "WIFI", "-s", std::to_string(sim.port()), "-m",
                                  std::to_string(test::reservePort(SOCK_DGRAM)), "-d", "127.0.0.1"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    test::ChildProcess child(VEXLINK_BINARY, args, {alsa.environmentEntry()});
    child.start();
    ASSERT_TRUE(child.waitForOutput("\rConnected     ", 10s)) << child.stdoutText();
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    // Keep-alives leave every 50 playout ticks: three more after the last
    // packet are enough to play out even a queue holding every packet.
    const size_t keepAlives = sim.snapshot().lastSession()->countMessages(phonesim::kSimKeepAlive);
    ASSERT_TRUE(sim.waitForMessages(phonesim::kSimKeepAlive, keepAlives + 3, 10s));
    child.signal(SIGINT);
    ASSERT_EQ(child.wait(10s), 0);

    const std::string out = child.stdoutText();
    size_t at = 0;
    for (const char* line : {"\rConnecting... \n", "\rConnected     \n", "Disconencting...\n", "\rDisconnected  \n",
                             "Start:\t", "missed: 0\r\n"}) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << "missing in order: " << line << "\n" << out;
    }
    EXPECT_NE(out.find("received: " + std::to_string(kPackets) + "\r\n"), std::string::npos) << out;

    unsigned dropped = ~0u;
    if (const size_t d = out.find("dropped: "); d != std::string::npos) std::sscanf(&out[d], "dropped: %u", &dropped);
    EXPECT_TRUE(alsa.readDefault().empty());  // no -l
    unsigned late = 9, duplicates = 9, concealed = 0, frames = 0;
    const std::string err = child.stderrText();
    const size_t note = err.find("vexlink: adaptive playout: target delay ");
    ASSERT_EQ(note != std::string::npos, adaptive) << err;
    if (adaptive) {
        // Each frame the frame-by-frame tests check in-process (where the
        // resampling can be held still); here the figures and the voice's
        // length in the loopback card.
        ASSERT_EQ(std::sscanf(err.c_str() + err.find(", late "), ", late %u, duplicates %u, concealed %u of %u frames",
                              &late, &duplicates, &concealed, &frames), 4) << err;
        EXPECT_EQ(late + duplicates, dropped) << err;
        EXPECT_GE(frames - concealed, kPackets - 2) << err;
        size_t voiced = 0;
        for (const auto& frame : test::splitFrames(alsa.readLoopback())) {
            voiced += std::any_of(frame.begin(), frame.end(), [](int16_t v) { return v > 3000 || v < -3000; });
        }
        EXPECT_GE(voiced + 2, frames - concealed);
        EXPECT_LE(voiced, frames + PlayoutTick::kFadeSteps);  // the voice, then the fade after it
        return;
    }
    // The loopback card (flushed at exit) holds the voice in order from the
    // first frame; what is missing the playout trimmed and reported.
    ASSERT_LE(dropped, kPackets / 6 + 1) << out;
    const auto match = test::matchFrames(test::splitFrames(alsa.readLoopback()),
                                         test::referenceFrames(*sim.snapshot().lastSession()));
    EXPECT_TRUE(match.inOrder);
    EXPECT_EQ(match.firstReference, 0u);
    EXPECT_EQ(match.matched + dropped, kPackets);
}

INSTANTIATE_TEST_SUITE_P(Versions, SessionTest,
                         ::testing::Values(Session{3, {}}, Session{4, {}}, Session{4, {"--jitter-buffer", "queue"}}),
                         [](const auto& info) {
                             return "V" + std::to_string(info.param.version) + (info.param.args.empty() ? "" : "Queue");
                         });

}  // namespace
}  // namespace vexlink
