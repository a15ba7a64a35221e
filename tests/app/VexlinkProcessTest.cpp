// The vexlink binary run as a real process: texts, statuses, the connection
// console and Ctrl-C, and who may speak into the microphone.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "PortReservation.h"
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
    AlsaRouting alsa(c.card ? AlsaRouting::Mode::Routed : AlsaRouting::Mode::NoDevices);
    std::string out, err;
    EXPECT_EQ(ChildProcess::run(VEXLINK_BINARY, c.args, {alsa.environmentEntry()}, &out, &err), c.status);
    EXPECT_EQ(out, c.out);
    EXPECT_NE(err.find(c.errPart), std::string::npos) << err;
    EXPECT_TRUE(!c.card || !c.errPart.empty() || err.empty()) << err;
}

INSTANTIATE_TEST_SUITE_P(Table, VexlinkCommandLine, ::testing::ValuesIn(kCliCases));

// Binds a socket of `type` to a free port on 127.0.0.1, hands it over in
// *keep and returns the port (a TCP socket that is bound but not listening
// refuses connections).
int heldLoopbackPort(int type, int* keep) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), length), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
    *keep = fd;
    return ntohs(a.sin_port);
}

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
    void launch(int controlPort, std::vector<std::string> args = {}, const std::string& host = "127.0.0.1") {
        args.insert(args.end(), {"-s", std::to_string(controlPort), "-m", std::to_string(mediaPort), host});
        child = std::make_unique<ChildProcess>(VEXLINK_BINARY, args, std::vector<std::string>{alsa.environmentEntry()});
        child->start();
    }

    AlsaRouting alsa;
    int mediaPort = reservePort(SOCK_DGRAM);
    std::unique_ptr<phonesim::PhoneSimulator> sim;
    std::unique_ptr<ChildProcess> child;
};

TEST_F(VexlinkSession, ClosedPortReportsTheConnectFailure) {
    int held = -1;
    launch(heldLoopbackPort(SOCK_STREAM, &held));
    EXPECT_EQ(child->wait(30s), 0);
    close(held);
    EXPECT_EQ(child->stdoutText(), kConnecting + "Error: Fail to connect to server.\n");
}

TEST_F(VexlinkSession, CtrlCWhileConnectedEndsInOrderAndDebugAddsTheReport) {
    launch(phone(0), {"-d"});
    // The lines arrive as they happen although stdout is a file here.
    ASSERT_TRUE(child->waitForOutput("\rConnected     \n", 20s)) << child->stdoutText();
    child->signal(SIGINT);
    child->signal(SIGINT);  // finds the connection ending and changes nothing
    EXPECT_EQ(child->wait(30s), 0);
    const std::string out = child->stdoutText();
    EXPECT_EQ(out.rfind(kUntilDisconnecting + "\rDisconnected  \nStart:\t", 0), 0u) << out;
    EXPECT_NE(out.find("received: 0\r\n"), std::string::npos) << out;
}

TEST_F(VexlinkSession, CtrlCWhileConnectingWaitsForTheConnectionThenDisconnects) {
    launch(phone(3000));
    ASSERT_TRUE(sim->waitForMessages(phonesim::kSimHello, 1, 20s));  // the answer is 3 s away
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);
    EXPECT_EQ(child->stdoutText(), kUntilDisconnecting + "\rDisconnected  \n");
}

TEST_F(VexlinkSession, NoVoiceEndsWithTheFirewallHintForTheMediaPort) {
    launch(phone(0));
    EXPECT_EQ(child->wait(60s), 0);  // the receive side gives up after about 9 s
    EXPECT_EQ(child->stdoutText(), kUntilDisconnecting +
                                       "No audio data is received. Please change your firewall setting to unblock "
                                       "UDP port " + std::to_string(mediaPort) + ".\n");
}

TEST_F(VexlinkSession, ABusyMediaPortIsNamedOnStandardError) {
    // Held the way a second client holds it: address reuse does not share it.
    const int holder = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1, off = 0;
    setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(uint16_t(mediaPort));
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    launch(phone(0));
    EXPECT_EQ(child->wait(30s), 0);
    close(holder);
    EXPECT_EQ(child->stdoutText(), kConnecting + "Error: Error\n");
    EXPECT_EQ(child->stderrText(), "vexlink: UDP port " + std::to_string(mediaPort) +
                                       " is already in use by another program; choose another with -m PORT\n");
}

// Power of `hz` in the samples (Goertzel), summed over 20 ms blocks.
double tonePower(const std::vector<int16_t>& pcm, double hz) {
    const double coefficient = 2.0 * std::cos(2.0 * M_PI * hz / 48000.0);
    double total = 0.0;
    for (size_t block = 0; block + 960 <= pcm.size(); block += 960) {
        double s1 = 0.0, s2 = 0.0;
        for (size_t i = block; i < block + 960; ++i) {
            const double s0 = pcm[i] + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        total += s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    }
    return total;
}

// The first address `localhost` resolves to, as the client will reach it.
std::string localhostAddress() {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    char text[INET6_ADDRSTRLEN] = "127.0.0.1";
    if (getaddrinfo("localhost", nullptr, &hints, &found) == 0) {
        getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
        freeaddrinfo(found);
    }
    return text;
}

// The phone, reached as "localhost", speaks a 1 kHz tone and pauses for
// 2.85 s; a stranger at 127.0.0.2 sends a 2.2 kHz tone, junk and empty
// datagrams to the media port all along, the last of the pause landing just
// before a 3 s wait would run out. Only the phone is heard, only Ctrl-C ends
// the session, and -d counts the stranger's datagrams.
TEST_F(VexlinkSession, OnlyThePhoneSpeaksIntoTheMicrophone) {
    phonesim::SimulatorConfig config;
    config.control.listenAddress = localhostAddress();
    config.media.signal = std::make_shared<phonesim::ToneSignal>(1000.0, 0.5);
    config.media.impairments.stallAtMs = 1000;
    config.media.impairments.stallForMs = 2850;
    config.media.impairments.stallDrops = true;
    config.recordPackets = false;
    sim = std::make_unique<phonesim::PhoneSimulator>(config);
    ASSERT_TRUE(sim->start());

    const int stranger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(uint16_t(mediaPort));
    ASSERT_EQ(bind(stranger, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);

    launch(sim->port(), {"-d"}, "localhost");
    ASSERT_TRUE(sim->waitForPacketsSent(5, 20s));
    std::atomic<bool> stop{false};
    uint32_t sent = 0;
    std::thread chatter([&] {
        phonesim::OpusFrameEncoder encoder(phonesim::OpusApplication::Voip, 32000, 5);
        const phonesim::ToneSignal tone(2200.0, 0.5);
        int16_t frame[960];
        uint8_t payload[1000], packet[1024];
        for (uint32_t i = 0; !stop; ++i, std::this_thread::sleep_for(20ms)) {
            tone.render(i, frame);
            const int32_t encoded = encoder.encode(frame, payload, sizeof payload);
            size_t length = encoded > 0 ? phonesim::writeMediaPacket({4, i + 1, 20 * i, 5}, payload, size_t(encoded),
                                                                     packet, sizeof packet)
                                        : 0;
            if (i % 3 == 1) length = 48;  // junk
            if (i % 3 == 2) length = 0;   // empty
            if (sendto(stranger, packet, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == ssize_t(length))
                ++sent;
        }
    });
    // Until a second of voice after the pause; then the phone alone for one more.
    const bool spoke = sim->waitForPacketsSent(100, 30s);
    stop = true;
    chatter.join();
    close(stranger);
    ASSERT_TRUE(spoke) << child->stdoutText();
    ASSERT_TRUE(sim->waitForPacketsSent(150, 10s));
    ASSERT_TRUE(child->running()) << child->stdoutText();
    child->signal(SIGINT);
    EXPECT_EQ(child->wait(30s), 0);

    const std::string out = child->stdoutText();
    EXPECT_EQ(out.rfind(kUntilDisconnecting + "\rDisconnected  \nStart:\t", 0), 0u) << out;
    // Every datagram is counted once it is read past; the exact count is the
    // stream test's to check, since a stalled machine may let the kernel drop
    // some before they reach the socket.
    const std::string err = child->stderrText();
    unsigned ignored = 0;
    char tail[64] = {};
    ASSERT_EQ(std::sscanf(err.c_str(), "vexlink: ignored %u datagrams from addresses other than the %63[^\n]", &ignored,
                          tail), 2)
        << err;
    EXPECT_STREQ(tail, "phone's");
    EXPECT_LE(ignored, sent);
    EXPECT_GE(ignored, sent - sent / 10);
    const std::vector<int16_t> pcm = alsa.readLoopback();
    const double phonePower = tonePower(pcm, 1000.0), strangerPower = tonePower(pcm, 2200.0);
    EXPECT_GT(phonePower, 0.0);
    EXPECT_LT(strangerPower, 1e-3 * phonePower) << "the stranger's tone reached the microphone";
}

}  // namespace
}  // namespace vexlink
