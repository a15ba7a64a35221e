// The status line: its text, the window of its shares, its place among the
// console lines, and the vexlink binary with standard error a terminal, a
// pipe or a file.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "AlsaRouting.h"
#include "ChildProcess.h"
#include "PortReservation.h"
#include "app/ConsoleWriter.h"
#include "app/StatusLine.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;

// Reads from `fd` until `done(text so far)` or the end of the stream (or
// 20 s with nothing new); returns what was read.
template <typename Done>
std::string readUntil(int fd, Done done) {
    std::string text;
    char buffer[512];
    while (!done(text)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;  // the end; a pseudo-terminal says EIO
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Exactly `count` bytes from `fd`, unless it ends or stays silent for 20 s.
std::string readBytes(int fd, size_t count) {
    std::string text;
    char buffer[256];
    while (text.size() < count) {
        pollfd p{fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 20000) == 1 ? read(fd, buffer, std::min(sizeof buffer, count - text.size())) : 0;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// The text of the next status line drawn on `fd`.
std::string nextStatus(int fd) {
    std::string drawn = readUntil(fd, [](const std::string& t) { return t.ends_with("\033[K"); });
    EXPECT_EQ(drawn.front(), '\r') << drawn;
    return drawn.substr(1, drawn.size() - 4);
}

TEST(StatusLineText, MeterLevelDelayAndSharesFitEightyColumns) {
    const struct {
        PlayoutStatus now, before;
        std::string text;
    } cases[] = {
        {{250, 0, 0, 32767, 30}, {}, "phone [##########]    0 dB  delay   30 ms  concealed   0.0%  late   0.0%"},
        {{250, 25, 5, 16384, 50}, {}, "phone [#########-]   -6 dB  delay   50 ms  concealed  10.0%  late   2.0%"},
        // Only the window counts.
        {{1250, 325, 5, 1000, 10}, {1000, 300, 5, 0, 0},
         "phone [#####-----]  -30 dB  delay   10 ms  concealed  10.0%  late   0.0%"},
        {{250, 250, 300, 0, 10}, {}, "phone [----------] -inf dB  delay   10 ms  concealed 100.0%  late 100.0%"},
        // Nothing played in the window: no share to speak of.
        {{7, 3, 0, 33, 0}, {7, 3, 0, 0, 0}, "phone [----------]  -60 dB  delay    0 ms  concealed    --%  late    --%"},
        // Counters that wrapped; a delay wider than the field.
        {{16, 8, 0, 1, 1234567}, {0xFFFFFFF0u, 0, 0, 0, 0},
         "phone [----------]  -90 dB  delay 9999 ms  concealed  25.0%  late   0.0%"},
    };
    for (const auto& c : cases) {
        char text[StatusLine::kTextCapacity];
        const size_t length = StatusLine::format(text, sizeof text, c.now, c.before);
        EXPECT_EQ(std::string(text, length), c.text);
        EXPECT_LT(length, 80u);
    }
}

TEST(StatusLineWindow, SharesCoverTheLastTwentyRedrawsOfTheConnection) {
    int out[2], status[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(status, O_CLOEXEC), 0);
    ConsoleWriter console;
    console.setStatusTerminal(status[1]);
    ASSERT_TRUE(console.start(out[1]));
    console.allowStatus(true);
    PlayoutStatus now;
    bool connected = true;
    StatusLine line;
    line.attach(
        [&](PlayoutStatus& f) {
            f = now;
            return connected;
        },
        &console);
    // Each redraw: 50 more frames, `concealed` of them concealed; the delay
    // changes so that every line differs from the one before.
    auto concealedShare = [&](uint32_t concealed) {
        now.playedFrames += 50, now.concealedFrames += concealed, ++now.delayMs;
        line.update();
        const std::string text = nextStatus(status[0]);
        return text.substr(text.find("concealed ") + 10, 6);
    };
    EXPECT_EQ(concealedShare(50), "   --%");
    for (int i = 2; i <= 10; ++i) EXPECT_EQ(concealedShare(50), "100.0%") << i;
    EXPECT_EQ(concealedShare(0), " 90.0%");
    for (int i = 12; i <= 20; ++i) concealedShare(0);
    EXPECT_EQ(concealedShare(0), " 45.0%");  // 21st: 20 redraws back is the first
    for (int i = 22; i <= 28; ++i) concealedShare(0);
    EXPECT_EQ(concealedShare(0), "  5.0%");
    EXPECT_EQ(concealedShare(0), "  0.0%");  // the concealed ones have left the window
    connected = false;
    line.update();  // draws nothing, and the next connection starts afresh
    connected = true;
    EXPECT_EQ(concealedShare(50), "   --%");
    console.stop();
    console.join();
    for (int fd : {out[0], out[1], status[0], status[1]}) close(fd);
}

// The writer's steps and what a terminal that shows both the console text
// and the status line receives for each.
struct Step {
    char action;  // a: allow, f: forbid, s: show, p: post
    std::string text;
    std::string screen;
};
const Step kSteps[] = {
    {'a', "", ""},
    {'s', "one", "\rone\033[K"},
    {'p', "Connected\n", "\r\033[KConnected\n\rone\033[K"},  // taken off, then back
    {'s', "two", "\rtwo\033[K"},
    {'f', "", "\r\033[K"},
    {'s', "three", ""},  // not allowed: never drawn
    {'p', "Aborted.\n", "Aborted.\n"},
    {'a', "", ""},
    {'s', "four", "\rfour\033[K"},
};

enum class StatusTerminal { SharedWithText, OfItsOwn, None };
std::string terminalName(const ::testing::TestParamInfo<StatusTerminal>& info) {
    const char* names[] = {"SharedWithText", "OfItsOwn", "None"};
    return names[static_cast<int>(info.param)];
}

class StatusLineOnTheConsole : public ::testing::TestWithParam<StatusTerminal> {};

TEST_P(StatusLineOnTheConsole, NeverSharesAScreenLineAndLeavesTheTextAlone) {
    const StatusTerminal kind = GetParam();
    int out[2], status[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(status, O_CLOEXEC), 0);
    const int statusRead = kind == StatusTerminal::SharedWithText ? out[0] : status[0];
    ConsoleWriter console;
    if (kind != StatusTerminal::None) console.setStatusTerminal(kind == StatusTerminal::OfItsOwn ? status[1] : out[1]);
    ASSERT_TRUE(console.start(out[1]));
    for (const Step& step : kSteps) {
        if (step.action == 'a' || step.action == 'f') console.allowStatus(step.action == 'a');
        if (step.action == 's') console.showStatus(step.text.data(), step.text.size());
        if (step.action == 'p') {
            EXPECT_TRUE(console.post(step.text.data(), step.text.size()));
        }
        std::string onStatus = step.screen;
        if (step.action == 'p' && kind != StatusTerminal::SharedWithText) {
            EXPECT_EQ(readBytes(out[0], step.text.size()), step.text);  // byte for byte
            onStatus.erase(onStatus.find(step.text), step.text.size());
        }
        if (kind != StatusTerminal::None) {
            EXPECT_EQ(readBytes(statusRead, onStatus.size()), onStatus) << step.text;
        }
    }
    console.stop();  // takes the line off for good
    console.join();
    if (kind != StatusTerminal::None) {
        EXPECT_EQ(readBytes(statusRead, 4), "\r\033[K");
    }
    for (int fd : {out[0], status[0]}) {
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "more than expected";
    }
    for (int fd : {out[0], out[1], status[0], status[1]}) close(fd);
}

INSTANTIATE_TEST_SUITE_P(Terminals, StatusLineOnTheConsole,
                         ::testing::Values(StatusTerminal::SharedWithText, StatusTerminal::OfItsOwn,
                                           StatusTerminal::None),
                         terminalName);

// The binary against the simulator, which sends 3 s of a half-scale tone
// and then nothing while the session stays up; Ctrl-C ends it.
struct BinaryCase {
    const char* name;
    enum { Terminal, Pipe, File } standardError;
    bool noStatus;
};
void PrintTo(const BinaryCase& c, std::ostream* os) { *os << c.name; }

class StatusLineOfTheBinary : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(StatusLineOfTheBinary, ShowsTheVoiceOnlyOnATerminalAndNeverTouchesStandardOutput) {
    const BinaryCase& c = GetParam();
    phonesim::SimulatorConfig config;
    config.media.packetCount = 150;
    phonesim::PhoneSimulator sim(config);
    ASSERT_TRUE(sim.start());
    test::AlsaRouting alsa;
    std::vector<std::string> args = {"-s", std::to_string(sim.port()), "-m",
                                     std::to_string(test::reservePort(SOCK_DGRAM)), "127.0.0.1"};
    if (c.noStatus) args.insert(args.begin(), "--no-status");
    test::ChildProcess child(VEXLINK_BINARY, args, {alsa.environmentEntry()});

    int reading = -1, writing = -1;  // standard error: our end and the child's
    if (c.standardError == BinaryCase::Terminal) {
        reading = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(reading, 0);
        ASSERT_EQ(grantpt(reading), 0);
        ASSERT_EQ(unlockpt(reading), 0);
        writing = open(ptsname(reading), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const winsize size{24, 80, 0, 0};
        ASSERT_EQ(ioctl(writing, TIOCSWINSZ, &size), 0);
    } else if (c.standardError == BinaryCase::Pipe) {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        reading = fds[0], writing = fds[1];
    }
    child.setStderr(writing);
    child.start();
    if (writing >= 0) close(writing);

    std::string seen;  // standard error so far, when it is ours to read
    auto drawn = [](const char* text) {
        return [text](const std::string& t) {
            const size_t at = t.find(text);
            return at != std::string::npos && t.find("\033[K", at) != std::string::npos;
        };
    };
    if (c.standardError == BinaryCase::Terminal && !c.noStatus) {
        // The meter is high with the tone, and empty once the tone has ended.
        seen = readUntil(reading, drawn("phone [########"));
        ASSERT_TRUE(drawn("phone [########")(seen)) << seen;
        ASSERT_TRUE(sim.waitForMediaFinished(60s));
        const std::string after = readUntil(reading, drawn("phone [----------]"));
        ASSERT_TRUE(drawn("phone [----------]")(after)) << after;
        seen += after;
    } else {
        ASSERT_TRUE(sim.waitForMediaFinished(60s));
    }
    child.signal(SIGINT);
    if (reading >= 0) seen += readUntil(reading, [](const std::string&) { return false; });
    EXPECT_EQ(child.wait(30s), 0);
    if (reading >= 0) close(reading);
    if (c.standardError == BinaryCase::File) seen = child.stderrText();

    EXPECT_EQ(child.stdoutText(), "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \n");
    if (c.standardError == BinaryCase::Terminal && !c.noStatus) {
        // Every status line was drawn whole and in place; the last is taken off.
        size_t lines = 0;
        for (size_t at = seen.find('\r'); at != std::string::npos; at = seen.find('\r', at + 1), ++lines) {
            const size_t end = seen.find("\033[K", at);
            ASSERT_NE(end, std::string::npos) << seen;
            const std::string line = seen.substr(at + 1, end - at - 1);
            ASSERT_TRUE(line.empty() || line.starts_with("phone [")) << line;
        }
        EXPECT_GT(lines, 4u);
        EXPECT_TRUE(seen.ends_with("\r\033[K")) << seen;
    } else {
        EXPECT_EQ(seen, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StatusLineOfTheBinary,
                         ::testing::Values(BinaryCase{"OnATerminal", BinaryCase::Terminal, false},
                                           BinaryCase{"NoStatusOnATerminal", BinaryCase::Terminal, true},
                                           BinaryCase{"IntoAPipe", BinaryCase::Pipe, false},
                                           BinaryCase{"IntoAFile", BinaryCase::File, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexlink
