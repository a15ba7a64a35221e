// The vexlink binary with --output pipewire in a private PipeWire session,
// against the phone simulator, with no loopback card at all.

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/socket.h>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "PipeWireSession.h"
#include "PortReservation.h"
#include "tools/phonesim/PhoneSimulator.h"
#include "tools/phonesim/ToneSignal.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using test::PipeWireSession;

// 500 Hz for the first 4 s, 1500 Hz after.
class StepTone final : public phonesim::SignalSource {
public:
    void render(uint64_t index, int16_t* out) const override { (index < 200 ? low_ : high_).render(index, out); }
    uint64_t frameCount() const override { return 0; }

private:
    phonesim::ToneSignal low_{500.0, 0.5}, high_{1500.0, 0.5};
};

// Zero crossings per 20 ms window: 20 at 500 Hz, 60 at 1500 Hz.
std::vector<int> crossingsPerFrame(const std::string& raw) {
    std::vector<int16_t> pcm(raw.size() / 2);
    if (!pcm.empty()) std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
    std::vector<int> counts;
    for (size_t at = 0; at + 960 <= pcm.size(); at += 960) {
        int n = 0, loud = 0;
        for (size_t i = at + 1; i < at + 960; ++i) {
            n += (pcm[i - 1] < 0) != (pcm[i] < 0);
            loud += pcm[i] > 8000 || pcm[i] < -8000;
        }
        if (loud > 100) counts.push_back(n);
    }
    return counts;
}

// Nobody records for the first 5 s: the connection and its keep-alives go
// on, and the voice that piled up meanwhile is never heard. Then
// "Phone microphone" records the phone's voice of now at a quantum of 256.
// On the ALSA output a missing card points at this output.
TEST(VexlinkPipeWire, PhoneMicrophoneRecordsTheVoiceOfNow) {
    PipeWireSession session;
    test::AlsaRouting alsa(test::AlsaRouting::Mode::NoDevices);
    ASSERT_TRUE(session.start()) << session.daemonLog();
    ASSERT_EQ(0, session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", "256"}));
    phonesim::SimulatorConfig config;
    config.control.listenAddress = "127.0.0.1";
    config.media.signal = std::make_shared<StepTone>();
    phonesim::PhoneSimulator sim(config);
    ASSERT_TRUE(sim.start());
    test::ChildProcess vexlink(VEXLINK_BINARY,
                               {"--output", "pipewire", "-d", "-s", std::to_string(sim.port()), "-m",
                                std::to_string(test::reservePort(SOCK_DGRAM)), "127.0.0.1"},
                               {alsa.environmentEntry()});
    vexlink.start();
    ASSERT_TRUE(vexlink.waitForOutput("\rConnected     \n", 30s)) << vexlink.stderrText();
    std::string sources;
    EXPECT_TRUE(PipeWireSession::waitUntil([&] {
        session.run({"pactl", "list", "sources"}, &sources);
        return sources.find("\tDescription: Phone microphone\n") != std::string::npos;
    }, 30s)) << sources;
    ASSERT_TRUE(sim.waitForPacketsSent(250, 30s));
    EXPECT_GE(sim.snapshot().lastSession()->countMessages(phonesim::kSimKeepAlive), 3u);

    auto recorder = session.spawn({"pw-record", "--target", "vexlink", "--rate", "48000", "--channels", "1",
                                   "--format", "s16", "-"});
    EXPECT_TRUE(PipeWireSession::waitUntil([&] { return crossingsPerFrame(recorder->stdoutText()).size() >= 50; }, 30s))
        << recorder->stderrText();
    recorder->signal(SIGINT);
    recorder->wait(10s);
    const std::vector<int> crossings = crossingsPerFrame(recorder->stdoutText());
    ASSERT_GE(crossings.size(), 50u);
    // None is 500 Hz. A frame may be cut by a fade (the start, or a pull the
    // loaded machine let run dry), so only nearly all are clean 1500 Hz.
    size_t clean = 0;
    for (size_t i = 0; i < crossings.size(); ++i) {
        EXPECT_GT(crossings[i], 40) << i;
        clean += crossings[i] >= 57 && crossings[i] <= 63;
    }
    EXPECT_GE(clean * 10, crossings.size() * 9);

    vexlink.signal(SIGINT);
    EXPECT_EQ(vexlink.wait(30s), 0);
    EXPECT_NE(vexlink.stdoutText().find("Disconencting...\n\rDisconnected  \nStart:\t"), std::string::npos);
    EXPECT_NE(vexlink.stderrText().find("vexlink: adaptive playout: target delay "), std::string::npos);
    EXPECT_EQ(vexlink.stderrText().find("ALSA"), std::string::npos) << "the loopback card was looked for";

    std::string out, err;
    EXPECT_EQ(test::ChildProcess::run(VEXLINK_BINARY, {"127.0.0.1"}, {alsa.environmentEntry()}, &out, &err), 2);
    EXPECT_EQ(out, "Please first load ALSA snd-aloop.\n");
    EXPECT_NE(err.find("vexlink: a PipeWire daemon runs here: with --output pipewire"), std::string::npos) << err;
}

}  // namespace
}  // namespace vexlink
