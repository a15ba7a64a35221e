// The vexlink binary run as a real process: texts, statuses, the connection
// console and Ctrl-C, and who may speak into the microphone.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "PortReservation.h"
#include "TestPeers.h"
#include "tools/phonesim/MediaPacketWriter.h"
#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/PhoneSimulator.h"
#include "tools/phonesim/ToneSignal.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using namespace test;

const std::string kUsage =
    "vexlink [options] <server address> \nOptions \n\t-t type \ttype can be WIFI or Bluetooth\n"
    "\t-s port \tService port\n\t-m port \tMedia port\n\t-v \t\tPrint version and exit\n"
    "\t-h \t\tPrint this message and exit\n"
    "\nServer address may be IP address or Bluetooth device address, depending on type.\n\n"
    "Example:\n\tvexlink -t WIFI 192.168.100.1\n\tvexlink -t Bluetooth 04:02:1F:2A:95:78\n";
const std::string kVersion = "Vexmor Client\nv4.6\nhttps://vexlink.example.org\n";
const std::string kBadType = "Invalid transport type: USB\n";
const std::string kNoCard = "Please first load ALSA snd-aloop.\n";
const std::string kConnecting = "\rConnecting... \n";
const std::string kUntilDisconnecting = kConnecting + "\rConnected     \nDisconencting...\n";

struct CliCase {
    bool card;  // false: ALSA has no devices at all
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string errPart;  // empty: stderr stays empty when there is a card
    bool busy = false;    // the card is there, its playback subdevice held by another program
};

const CliCase kCliCases[] = {
    {true, {}, kUsage, 1, ""},
    {true, {"-v"}, kVersion, 0, ""},
    {true, {"-v", "--no-such-option"}, kVersion, 0, ""},
    {true, {"127.0.0.1", "-v"}, kVersion, 0, ""},
    {true, {"-t", "USB", "x"}, kBadType, 255, ""},
    {true, {"-h", "host"}, kUsage, 255, ""},
    {true, {"-x", "-v", "host"}, kUsage, 255, "invalid option -- 'x'"},
    {true, {"--no-such-option", "x"}, kUsage, 255, "unrecognized option '--no-such-option'"},
    {true, {"host", "-s"}, kUsage, 255, "option requires an argument -- 's'"},
    {false, {"-l", "127.0.0.1"}, kNoCard, 2, ""},
    {false, {"-t", "bluetooth", "04:02:1F:2A:95:78"}, kNoCard, 2, ""},
    {false, {"-l"}, kUsage, 1, ""},
    {false, {"-t", "USB", "host"}, kBadType, 255, ""},
    {false, {std::string(256, '1')}, "", 255, "Server address too long (at most 255 bytes).\n"},
    {true, {"-s", "1", "127.0.0.1"}, "", 2, "vexlink: cannot open the loopback playback device plughw:CARD=Loopback,"
     "DEV=0,SUBDEV=0: No such file or directory - another program may hold it (a second vexlink, or a sound server "
     "such as PipeWire or PulseAudio); find it with: fuser -v /dev/snd/*\n", true},
    // The PipeWire output never looks at the loopback card. No PipeWire
    // daemon answers any case of this table.
    {true, {"--output", "pipewire", "-l", "host"}, "", 255,
     "vexlink: -l (--play-locally) does not go with --output pipewire;"},
    {false, {"--out=PipeWire", "127.0.0.1"}, "", 2, "vexlink: --output pipewire: no PipeWire daemon answers;"},
};

// Cases are named after their arguments.
void PrintTo(const CliCase& c, std::ostream* os) {
    *os << "vexlink";
    for (const auto& arg : c.args) *os << ' ' << arg.substr(0, 20);
}

// One process per case, so that ctest runs them side by side.
class VexlinkCommandLine : public ::testing::TestWithParam<CliCase> {};

TEST_P(VexlinkCommandLine, TextsAndStatus) {
    const CliCase& c = GetParam();
    using enum AlsaRouting::Mode;
    AlsaRouting alsa(c.busy ? BusyLoopback : c.card ? Routed : NoDevices);
    std::string out, err;
    const std::vector<std::string> env{alsa.environmentEntry(), "PIPEWIRE_RUNTIME_DIR=" + alsa.folder(),
                                       "XDG_RUNTIME_DIR=" + alsa.folder()};
    EXPECT_EQ(ChildProcess::run(VEXLINK_BINARY, c.args, env, &out, &err), c.status);
    EXPECT_EQ(out, c.out);
    EXPECT_NE(err.find(c.errPart), std::string::npos) << err;
    EXPECT_TRUE(!c.card || !c.errPart.empty() || err.empty()) << err;
}

INSTANTIATE_TEST_SUITE_P(Table, VexlinkCommandLine, ::testing::ValuesIn(kCliCases));

// vexlink against a phone on 127.0.0.1 that answers the handshake (Hello
// after `helloDelayMs`) and sends no voice.
class VexlinkSession : public ::testing::Test {
protected:
    int phone(uint32_t helloDelayMs) {
        phonesim::SimulatorConfig config;
        config.media.enabled = false;
        config.control.hello.delayMs = helloDelayMs;
        sim = std::make_unique<phonesim::PhoneSimulator>(config);
        EXPECT_TRUE(sim->start());
        return sim->port();
    }
    // `stdoutFd` >= 0: the child's standard output instead of a file.
    void launch(int controlPort, std::vector<std::string> args = {}, int stdoutFd = -1,
                const std::string& host = "127.0.0.1") {
        args.insert(args.end(), {"-s", std::to_string(controlPort), "-m", std::to_string(mediaPort), host});
        extraEnv.push_back(alsa.environmentEntry());
        child = std::make_unique<ChildProcess>(VEXLINK_BINARY, args, extraEnv);
        child->setStdout(stdoutFd);
        child->start();
    }

    AlsaRouting alsa;
    std::vector<std::string> extraEnv;  // for the child
    int mediaPort = reservePort(SOCK_DGRAM);
    std::unique_ptr<phonesim::PhoneSimulator> sim;
    std::unique_ptr<ChildProcess> child;
};

// Ctrl-C, SIGTERM (kill, a service manager) and SIGHUP (the terminal
// closed) all end a session the same orderly way.
class VexlinkEndingSignal : public VexlinkSession, public ::testing::WithParamInterface<int> {};

TEST_P(VexlinkEndingSignal, WhileConnectedEndsInOrderAndDebugAddsTheReport) {
    launch(phone(0), {"-d"});
    // The lines arrive as they happen although stdout is a file here.
    ASSERT_TRUE(child->waitForOutput("\rConnected     \n", 20s)) << child->stdoutText();
    child->signal(GetParam());
    child->signal(GetParam());  // finds the connection ending and changes nothing
    EXPECT_EQ(child->wait(30s), 0);
    const std::string out = child->stdoutText();
    EXPECT_EQ(out.rfind(kUntilDisconnecting + "\rDisconnected  \nStart:\t", 0), 0u) << out;
    EXPECT_NE(out.find("received: 0\r\n"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("\r\n")) << out;  // the whole report
}

INSTANTIATE_TEST_SUITE_P(Signals, VexlinkEndingSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// Standard output a pipe whose reader leaves after the first line (`| head
// -n1`), or a full one nobody reads (a terminal paused with Ctrl-S): the
// keep-alives go on, and Ctrl-C ends with status 0 (when full, after the
// final drain's 1 s; 5 s leaves room for a loaded machine).
class VexlinkStdoutPipe : public VexlinkSession, public ::testing::WithParamInterface<bool> {};

TEST_P(VexlinkStdoutPipe, NeitherEndsNorFreezesTheSession) {
    const bool full = GetParam();
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    if (full) {  // the child's first write blocks
        const std::string filler(static_cast<size_t>(fcntl(fds[1], F_SETPIPE_SZ, 4096)), 'x');
        ASSERT_EQ(write(fds[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
        // The bound is vexlink's: a TSan build would sleep a second at exit on top.
        const char* tsan = std::getenv("TSAN_OPTIONS");
        extraEnv.push_back(std::string("TSAN_OPTIONS=") + (tsan != nullptr ? tsan : "") + ":atexit_sleep_ms=0");
    }
    launch(phone(0), {}, fds[1]);  // no voice: the session would end by itself only after 9 s
    close(fds[1]);
    if (!full) {
        std::string first;
        char c = 0;
        while (first.find('\n') == std::string::npos && read(fds[0], &c, 1) == 1) first += c;
        EXPECT_EQ(first, kConnecting);
        close(fds[0]);
    }
    ASSERT_TRUE(sim->waitForMessages(phonesim::kSimKeepAlive, 3, 30s)) << child->stderrText();
    const auto signalled = std::chrono::steady_clock::now();
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);
    if (full) {
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
        close(fds[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Pipes, VexlinkStdoutPipe, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FullUnread" : "ReaderLeavesAfterFirstLine"; });

// A port that refuses; before the connection is up, a phone that never
// answers the SYN (a listener with a full accept queue drops it) or the
// Hello: Ctrl-C ends the attempt at once, as it ends a connection; without it
// the connect gives up after its 10 s.
enum class Peer { Refuses, DropsSyn, NoHello };
struct Unanswered {
    const char* name;
    Peer peer;
    bool ctrlC;
    std::string end;
    long long minMs, maxMs;  // from "Connecting..." to the result line
};
void PrintTo(const Unanswered& c, std::ostream* os) { *os << c.name; }
class VexlinkUnanswered : public VexlinkSession, public ::testing::WithParamInterface<Unanswered> {};

TEST_P(VexlinkUnanswered, CtrlCEndsTheAttemptAtOnceAndTheConnectHasADeadline) {
    const Unanswered& c = GetParam();
    const Fd listener = boundSocket("127.0.0.1", SOCK_STREAM);  // bound, not listening: refuses
    const int port = c.peer == Peer::NoHello ? phone(600000) : localPort(listener.get());
    const Fd filler = c.peer == Peer::DropsSyn && listen(listener.get(), 0) == 0
                          ? socketAt("127.0.0.1", uint16_t(port), SOCK_STREAM, false) : Fd();
    ASSERT_EQ(filler.valid(), c.peer == Peer::DropsSyn);
    launch(port);
    ASSERT_TRUE(child->waitForOutput(kConnecting, 20s));
    const auto from = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.peer != Peer::NoHello || sim->waitForMessages(phonesim::kSimHello, 1, 20s));
    if (c.ctrlC) child->signal(SIGINT);
    EXPECT_TRUE(child->waitForOutput(c.end, 30s));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - from);
    EXPECT_GE(ms.count(), c.minMs);
    EXPECT_LE(ms.count(), c.maxMs);
    EXPECT_EQ(child->wait(30s), 0);
    EXPECT_EQ(child->stdoutText(), kConnecting + c.end);
}

const std::string kCtrlCEnd = "Disconencting...\n\rDisconnected  \n", kFailed = "Error: Fail to connect to server.\n";
INSTANTIATE_TEST_SUITE_P(Table, VexlinkUnanswered,
                         ::testing::Values(Unanswered{"Refused", Peer::Refuses, false, kFailed, 0, 9000},
                                           Unanswered{"SynCtrlC", Peer::DropsSyn, true, kCtrlCEnd, 0, 2000},
                                           Unanswered{"HelloCtrlC", Peer::NoHello, true, kCtrlCEnd, 0, 2000},
                                           Unanswered{"SynDeadline", Peer::DropsSyn, false, kFailed, 9000, 13000}),
                         [](const auto& info) { return std::string(info.param.name); });

// No voice: the receive side gives up after about 9 s with the firewall
// hint; a media port another program holds is named on standard error.
class VexlinkNoVoice : public VexlinkSession, public ::testing::WithParamInterface<bool> {};

TEST_P(VexlinkNoVoice, EndsWithTheFirewallHintOrNamesABusyMediaPort) {
    const bool busy = GetParam();
    const Fd holder = busy ? boundSocket("::", SOCK_DGRAM, uint16_t(mediaPort)) : Fd();
    launch(phone(0));
    EXPECT_EQ(child->wait(60s), 0);
    const std::string port = std::to_string(mediaPort);
    EXPECT_EQ(child->stdoutText(), busy ? kConnecting + "Error: Error\n"
                                        : kUntilDisconnecting + "No audio data is received. Please change your "
                                              "firewall setting to unblock UDP port " + port + ".\n");
    EXPECT_EQ(child->stderrText(), busy ? "vexlink: UDP port " + port + " is already in use by another program; "
                                          "choose another with -m PORT\n" : "");
}

INSTANTIATE_TEST_SUITE_P(MediaPort, VexlinkNoVoice, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Busy" : "Free"; });

// The phone, reached as "localhost", speaks a tone at half scale with a
// pause of 2.85 s; a stranger at 127.0.0.2 sends a tone at full scale, junk
// and empty datagrams to the media port all along, the last of the pause
// landing just before a 3 s wait would run out. Only the phone is heard, only
// Ctrl-C ends the session, and -d counts the stranger's datagrams.
TEST_F(VexlinkSession, OnlyThePhoneSpeaksIntoTheMicrophone) {
    phonesim::SimulatorConfig config;  // a 1 kHz tone, from 127.0.0.1
    config.media.impairments.stallAtMs = 1000;
    config.media.impairments.stallForMs = 2850;
    config.media.impairments.stallDrops = true;
    sim = std::make_unique<phonesim::PhoneSimulator>(config);
    ASSERT_TRUE(sim->start());
    int16_t frame[960];
    uint8_t payload[1000], packet[1024];
    phonesim::ToneSignal(2200.0, 0.95).render(0, frame);
    const int32_t n = phonesim::OpusFrameEncoder(phonesim::OpusApplication::Voip, 32000, 5).encode(frame, payload, 1000);
    const size_t voice = phonesim::writeMediaPacket({}, payload, size_t(n), packet, sizeof packet);
    const Fd stranger = datagramSocketFrom("127.0.0.2", "127.0.0.1", uint16_t(mediaPort));

    launch(sim->port(), {"-d"}, -1, "localhost");
    ASSERT_TRUE(sim->waitForPacketsSent(5, 20s));
    std::atomic<bool> stop{false};
    uint32_t sent = 0;
    std::thread chatter([&] {
        for (uint32_t i = 0; !stop; ++i, std::this_thread::sleep_for(20ms)) {
            const size_t size = i % 3 == 0 ? voice : i % 3 == 1 ? 48 : 0;  // voice, junk, empty
            sent += send(stranger.get(), packet, size, 0) == ssize_t(size);
        }
    });
    // Until a second of voice after the pause; then the phone alone for one more.
    const bool spoke = sim->waitForPacketsSent(100, 30s);
    stop = true;
    chatter.join();
    ASSERT_TRUE(spoke) << child->stdoutText();
    ASSERT_TRUE(sim->waitForPacketsSent(150, 10s));
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);

    const std::string out = child->stdoutText(), err = child->stderrText();
    EXPECT_EQ(out.rfind(kUntilDisconnecting + "\rDisconnected  \nStart:\t", 0), 0u) << out;
    // Each is counted once read past; a stalled machine's kernel may drop a few.
    unsigned ignored = 0;
    ASSERT_EQ(std::sscanf(err.c_str(), "vexlink: ignored %u datagrams from addresses other than the phone's\n",
                          &ignored), 1) << err;
    EXPECT_LE(ignored, sent);
    EXPECT_GE(ignored, sent - sent / 10);
    const std::vector<int16_t> pcm = alsa.readLoopback();
    ASSERT_FALSE(pcm.empty());
    const auto [low, high] = std::minmax_element(pcm.begin(), pcm.end());
    EXPECT_GT(*high, 12000) << "the phone was not heard";
    EXPECT_LT(std::max(-int(*low), int(*high)), 22000) << "the stranger was heard";
}

}  // namespace
}  // namespace vexlink
