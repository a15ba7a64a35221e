// The vexlink binary run as a real process: texts, statuses, the connection
// console and Ctrl-C.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "AlsaRouting.h"
#include "AppTestText.h"
#include "ChildProcess.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using test::AlsaRouting;
using test::ChildProcess;
using test::kUsageText;
using test::kVersionText;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result runVexlink(const AlsaRouting& alsa, const std::vector<std::string>& args) {
    Result r;
    r.status = ChildProcess::run(VEXLINK_BINARY, args, {alsa.environmentEntry()}, &r.out, &r.err);
    return r;
}

// A descriptor that is closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

int boundPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
}

// A TCP socket on 127.0.0.1 with a port of its own; listening or not.
int tcpSocketOnLoopback(bool listening) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    if (listening) {
        EXPECT_EQ(listen(fd, 4), 0);
    }
    return fd;
}

// A UDP port that nothing holds right now, for the client's media socket.
int freeUdpPort() {
    Fd fd(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return boundPort(fd.get());
}

bool readExactly(int fd, size_t count) {
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) return false;
        const ssize_t n = recv(fd, bytes.data() + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

void sendAll(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// The phone's side of the control connection, just far enough for the
// console tests: accepts one client and answers the handshake (Hello with
// version 4, Setup, Start, all accepted), answers it only once released, or
// stays silent; then holds the connection until the client closes it.
// Sends no voice.
class FakePhone {
public:
    enum class Mode { Answer, AnswerWhenReleased, Silent };

    explicit FakePhone(Mode mode) : listener_(tcpSocketOnLoopback(true)), mode_(mode) {
        port_ = boundPort(listener_.get());
        thread_ = std::thread([this] { serve(); });
    }
    ~FakePhone() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return port_; }
    bool accepted() const { return accepted_; }
    void release() { released_ = true; }

private:
    // Waits in short slices so that the destructor is never kept waiting.
    bool waitUntil(const std::atomic<bool>& flag) {
        while (!flag && !stop_) {
            pollfd none{-1, 0, 0};
            poll(&none, 1, 20);
        }
        return flag;
    }

    void serve() {
        pollfd p{listener_.get(), POLLIN, 0};
        while (!stop_ && poll(&p, 1, 50) == 0) {
        }
        if (stop_) return;
        Fd client(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client.get() < 0) return;
        accepted_ = true;
        if (mode_ != Mode::Silent) {
            if (!readExactly(client.get(), 11)) return;  // Hello
            if (mode_ == Mode::AnswerWhenReleased && !waitUntil(released_)) return;
            sendAll(client.get(), {0x65, 0, 0, 0, 2, 0, 4});
            if (!readExactly(client.get(), 11)) return;  // Setup
            sendAll(client.get(), {0x66, 0, 0, 0, 1, 0});
            if (!readExactly(client.get(), 5)) return;  // Start
            sendAll(client.get(), {0x67, 0, 0, 0, 1, 0});
        }
        // Hold the connection (swallowing keep-alives) until the client
        // closes it or the test ends.
        uint8_t sink[256];
        while (!stop_) {
            pollfd c{client.get(), POLLIN, 0};
            if (poll(&c, 1, 50) > 0 && recv(client.get(), sink, sizeof sink, 0) <= 0) return;
        }
    }

    Fd listener_;
    Mode mode_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> released_{false};
    std::thread thread_;
};

std::vector<std::string> wifiArgs(const FakePhone& phone, int mediaPort, std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"-s", std::to_string(phone.port()), "-m", std::to_string(mediaPort), "127.0.0.1"});
    return extra;
}

TEST(VexlinkProcess, NoOperandPrintsUsageAndEndsWithOne) {
    AlsaRouting alsa;
    const Result r = runVexlink(alsa, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsageText);
    EXPECT_EQ(r.err, "");
}

TEST(VexlinkProcess, VersionTextAndStatusZero) {
    AlsaRouting alsa;
    Result r = runVexlink(alsa, {"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionText);
    r = runVexlink(alsa, {"--version", "--no-such-option"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionText);
    EXPECT_EQ(r.err, "");
}

TEST(VexlinkProcess, OptionsAfterTheOperandCount) {
    AlsaRouting alsa;
    Result r = runVexlink(alsa, {"127.0.0.1", "-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kVersionText);
    r = runVexlink(alsa, {"127.0.0.1", "-t", "USB"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Invalid transport type: USB\n");
}

TEST(VexlinkProcess, InvalidTransportWord) {
    AlsaRouting alsa;
    const Result r = runVexlink(alsa, {"-t", "USB", "x"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Invalid transport type: USB\n");
}

TEST(VexlinkProcess, UnknownOptionGetsTheParsersDiagnosticThenTheUsage) {
    AlsaRouting alsa;
    Result r = runVexlink(alsa, {"--no-such-option", "-v", "x"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kUsageText);
    EXPECT_NE(r.err.find("unrecognized option '--no-such-option'"), std::string::npos) << r.err;
    r = runVexlink(alsa, {"-x", "host"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kUsageText);
    EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;
}

TEST(VexlinkProcess, MissingOptionArgument) {
    AlsaRouting alsa;
    const Result r = runVexlink(alsa, {"host", "-s"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kUsageText);
    EXPECT_NE(r.err.find("option requires an argument -- 's'"), std::string::npos) << r.err;
}

TEST(VexlinkProcess, HelpPrintsTheUsageAnd255) {
    AlsaRouting alsa;
    const Result r = runVexlink(alsa, {"-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, kUsageText);
    EXPECT_EQ(r.err, "");
}

TEST(VexlinkProcess, WithoutTheLoopbackCardItAsksForTheModule) {
    AlsaRouting alsa(AlsaRouting::Mode::NoDevices);
    Result r = runVexlink(alsa, {"-l", "127.0.0.1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Please first load ALSA snd-aloop.\n");
    // Bluetooth in any case is accepted: it gets as far as the card check.
    r = runVexlink(alsa, {"-t", "bluetooth", "04:02:1F:2A:95:78"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Please first load ALSA snd-aloop.\n");
    // No operand is reported first.
    r = runVexlink(alsa, {"-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kUsageText);
}

TEST(VexlinkProcess, AddressTooLongForItsFieldIsRefused) {
    AlsaRouting alsa(AlsaRouting::Mode::NoDevices);
    const Result r = runVexlink(alsa, {std::string(256, '1')});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Server address too long (at most 255 bytes).\n"), std::string::npos) << r.err;
}

TEST(VexlinkProcess, ClosedPortPrintsConnectingThenTheErrorAndEndsWithZero) {
    AlsaRouting alsa;
    Fd closed(tcpSocketOnLoopback(false));  // bound, not listening: connections are refused
    const int port = boundPort(closed.get());
    const Result r = runVexlink(alsa, {"-s", std::to_string(port), "-m", std::to_string(freeUdpPort()), "127.0.0.1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\rConnecting... \nError: Fail to connect to server.\n");
}

TEST(VexlinkProcess, CtrlCWhileConnectedDisconnectsInOrder) {
    AlsaRouting alsa;
    FakePhone phone(FakePhone::Mode::Answer);
    ChildProcess child(VEXLINK_BINARY, wifiArgs(phone, freeUdpPort()), {alsa.environmentEntry()});
    child.start();
    // The lines arrive as they happen although stdout is a file here.
    ASSERT_TRUE(child.waitForOutput("\rConnected     \n", 20s)) << child.stdoutText();
    child.signal(SIGINT);
    child.signal(SIGINT);  // a second Ctrl-C finds the connection ending and changes nothing
    EXPECT_EQ(child.wait(30s), 0);
    EXPECT_EQ(child.stdoutText(), "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \n");
}

TEST(VexlinkProcess, DebugAddsTheReportAfterANormalEnd) {
    AlsaRouting alsa;
    FakePhone phone(FakePhone::Mode::Answer);
    ChildProcess child(VEXLINK_BINARY, wifiArgs(phone, freeUdpPort(), {"-d"}), {alsa.environmentEntry()});
    child.start();
    ASSERT_TRUE(child.waitForOutput("\rConnected     \n", 20s)) << child.stdoutText();
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(30s), 0);
    const std::string out = child.stdoutText();
    const std::string head = "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \nStart:\t";
    EXPECT_EQ(out.compare(0, head.size(), head), 0) << out;
    EXPECT_NE(out.find("received: 0\r\n"), std::string::npos) << out;
}

// A server that never answers: the handshake's reply limit ends the attempt
// (about ten seconds); an interrupt meanwhile waits for the attempt to end,
// then finds nothing to disconnect. One result line, one end, status 0.
TEST(VexlinkProcess, CtrlCDuringASilentHandshakeEndsOnceWithTheHandshakeResult) {
    AlsaRouting alsa;
    FakePhone phone(FakePhone::Mode::Silent);
    ChildProcess child(VEXLINK_BINARY, wifiArgs(phone, freeUdpPort()), {alsa.environmentEntry()});
    child.start();
    ASSERT_TRUE(child.waitForOutput("\rConnecting... \n", 20s)) << child.stdoutText();
    child.signal(SIGINT);
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(60s), 0);
    EXPECT_TRUE(phone.accepted());
    EXPECT_EQ(child.stdoutText(), "\rConnecting... \nError: Error\n");
}

TEST(VexlinkProcess, CtrlCWhileConnectingWaitsForTheConnectionThenDisconnects) {
    AlsaRouting alsa;
    FakePhone phone(FakePhone::Mode::AnswerWhenReleased);
    ChildProcess child(VEXLINK_BINARY, wifiArgs(phone, freeUdpPort()), {alsa.environmentEntry()});
    child.start();
    ASSERT_TRUE(child.waitForOutput("\rConnecting... \n", 20s)) << child.stdoutText();
    child.signal(SIGINT);
    phone.release();
    EXPECT_EQ(child.wait(30s), 0);
    EXPECT_EQ(child.stdoutText(), "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \n");
}

TEST(VexlinkProcess, NoVoiceEndsWithTheFirewallHintForTheMediaPort) {
    AlsaRouting alsa;
    FakePhone phone(FakePhone::Mode::Answer);
    const int mediaPort = freeUdpPort();
    const Result r = runVexlink(alsa, wifiArgs(phone, mediaPort));  // the receive side gives up after ~9 s
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\rConnecting... \n\rConnected     \nDisconencting...\n"
                     "No audio data is received. Please change your firewall setting to unblock UDP port " +
                         std::to_string(mediaPort) + ".\n");
}

TEST(VexlinkProcess, BluetoothRunConnectsOrReportsAndEndsWithZero) {
    // This machine has no Bluetooth: the attempt fails at once; where there
    // is, a device that is not there fails after the page timeout.
    AlsaRouting alsa;
    const Result r = runVexlink(alsa, {"-t", "BlueTooth", "04:02:1F:2A:95:78"});
    EXPECT_EQ(r.status, 0);
    const std::string head = "\rConnecting... \nError: ";
    EXPECT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
}

}  // namespace
}  // namespace vexlink
