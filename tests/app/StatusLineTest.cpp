// The status line: its text, its place among the console lines, and the
// vexlink binary with standard error a terminal or a file.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <tuple>
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

// Appends what `fd` gives to `text` until what it read matches `until` (a
// pattern; null: never), `limit` bytes, the end, or 20 s of silence.
bool readUntil(int fd, std::string& text, const char* until, size_t limit = SIZE_MAX) {
    const size_t from = text.size();
    char buffer[256];
    for (pollfd p{fd, POLLIN, 0}; text.size() - from < limit && poll(&p, 1, 20000) == 1;) {
        const ssize_t n = read(fd, buffer, std::min(sizeof buffer, limit - (text.size() - from)));
        if (n <= 0) break;  // the end (a pseudo-terminal says EIO)
        text.append(buffer, size_t(n));
        if (until != nullptr && std::regex_search(text.substr(from), std::regex(until))) return true;
    }
    return false;
}
std::string readBytes(int fd, size_t count, std::string text = "") {
    return readUntil(fd, text, nullptr, count), text;
}

TEST(StatusLineText, MeterLevelDelayAndSharesOfTheWindowFitEightyColumns) {
    const std::tuple<PlayoutStatus, PlayoutStatus, std::string> cases[] = {
        {{250, 0, 0, 32767, 30}, {}, "phone [##########]    0 dB  delay   30 ms  concealed   0.0%  late   0.0%"},
        {{1250, 325, 5, 16384, 50}, {1000, 300, 0, 0, 0},
         "phone [#########-]   -6 dB  delay   50 ms  concealed  10.0%  late   2.0%"},
        {{250, 250, 300, 1000, 10}, {}, "phone [#####-----]  -30 dB  delay   10 ms  concealed 100.0%  late 100.0%"},
        {{7, 3, 0, 0, 0}, {7, 3, 0, 0, 0}, "phone [----------] -inf dB  delay    0 ms  concealed    --%  late    --%"},
        // Wrapped counters; a delay wider than its field.
        {{16, 8, 0, 33, 1234567}, {0xFFFFFFF0u, 0, 0, 0, 0},
         "phone [----------]  -60 dB  delay 9999 ms  concealed  25.0%  late   0.0%"},
    };
    for (const auto& [now, before, expected] : cases) {
        char text[StatusLine::kTextCapacity];
        EXPECT_EQ(std::string(text, StatusLine::format(text, sizeof text, now, before)), expected);
        EXPECT_LT(expected.size(), 80u);
    }
}

// The writer's steps, and what a terminal that shows both the console text
// and the status line receives for each.
const struct Step {
    char action;  // a: allow, f: forbid, s: show, p: post
    std::string text, screen;
} kSteps[] = {
    {'a', "", ""}, {'s', "one", "\rone\033[K"},
    {'p', "Connected\n", "\r\033[KConnected\n\rone\033[K"},  // taken off, then back
    {'s', "two", "\rtwo\033[K"}, {'f', "", "\r\033[K"}, {'s', "three", ""},  // not allowed: never drawn
    {'p', "Aborted.\n", "Aborted.\n"}, {'a', "", ""}, {'s', "four", "\rfour\033[K"},
};

class StatusLineOnTheConsole : public ::testing::TestWithParam<int> {};

TEST_P(StatusLineOnTheConsole, NeverSharesAScreenLineAndLeavesTheTextAlone) {
    const int kind = GetParam();  // 0: on the text's terminal, 1: on a terminal of its own, 2: none
    int out[2], status[2];
    ASSERT_TRUE(pipe2(out, O_CLOEXEC) == 0 && pipe2(status, O_CLOEXEC) == 0);
    ConsoleWriter console;
    if (kind < 2) console.setStatusTerminal(kind == 0 ? out[1] : status[1]);
    ASSERT_TRUE(console.start(out[1]));
    for (const Step& step : kSteps) {
        const std::string text = step.action == 'p' ? step.text : "";
        std::string onStatus = step.screen;
        onStatus.erase(onStatus.find(text), text.size());
        step.action == 's'   ? console.showStatus(step.text.data(), step.text.size())
        : step.action == 'p' ? (void)console.post(text.data(), text.size())
                             : console.allowStatus(step.action == 'a');
        const std::string& onText = kind == 0 ? step.screen : text;  // else byte for byte what was posted
        EXPECT_EQ(readBytes(out[0], onText.size()), onText);
        EXPECT_EQ(readBytes(status[0], kind == 1 ? onStatus.size() : 0), kind == 1 ? onStatus : "");
    }
    console.stop();  // takes the line off for good
    console.join();
    EXPECT_EQ(readBytes(kind == 0 ? out[0] : status[0], kind < 2 ? 4 : 0), kind < 2 ? "\r\033[K" : "");
    pollfd more[] = {{out[0], POLLIN, 0}, {status[0], POLLIN, 0}};
    EXPECT_EQ(poll(more, 2, 0), 0);
    for (int fd : {out[0], out[1], status[0], status[1]}) close(fd);
}

INSTANTIATE_TEST_SUITE_P(Terminals, StatusLineOnTheConsole, ::testing::Values(0, 1, 2));

// The binary against the simulator, which sends 3 s of a half-scale tone
// and then nothing while the session stays up; Ctrl-C ends it.
struct BinaryCase { const char* name; bool terminal, noStatus; };
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
    if (c.noStatus) args.push_back("--no-status");
    test::ChildProcess child(VEXLINK_BINARY, args, {alsa.environmentEntry()});
    const int terminal = c.terminal ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    ASSERT_TRUE(!c.terminal || (terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0));
    const int side = c.terminal ? open(ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    child.setStderr(side);
    child.start();
    if (side >= 0) close(side);
    std::string seen;  // standard error
    if (c.terminal && !c.noStatus) {  // the meter is high with the tone, and empty once it has ended
        ASSERT_TRUE(readUntil(terminal, seen, "phone \\[#{8}[^\r]*\033\\[K") && sim.waitForMediaFinished(60s)) << seen;
        ASSERT_TRUE(readUntil(terminal, seen, "phone \\[-{10}\\][^\r]*\033\\[K")) << seen;
    }
    ASSERT_TRUE(sim.waitForMediaFinished(60s));
    child.signal(SIGINT);
    if (c.terminal) readUntil(terminal, seen, nullptr);
    EXPECT_EQ(child.wait(30s), 0);
    if (c.terminal) close(terminal);
    seen += child.stderrText();
    EXPECT_EQ(child.stdoutText(), "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \n");
    // With the line: only whole status lines drawn in place, the last one taken off.
    const std::regex lines("(\r(phone \\[[^\r\n]*)?\033\\[K)*\r\033\\[K");
    EXPECT_TRUE(c.terminal && !c.noStatus ? std::regex_match(seen, lines) : seen.empty()) << seen;
}

INSTANTIATE_TEST_SUITE_P(Table, StatusLineOfTheBinary,
                         ::testing::Values(BinaryCase{"OnATerminal", true, false}, BinaryCase{"File", false, false},
                                           BinaryCase{"NoStatusOnATerminal", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vexlink
