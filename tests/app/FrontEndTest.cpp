// The front end's parts in-process: what the command line stores in the
// settings record, the console's lines and its single end of the process,
// and the signal watcher. The texts and statuses of the whole binary are
// checked in VexlinkProcessTest.cpp.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/syscall.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include "TestPeers.h"
#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/ConsoleWriter.h"
#include "app/SignalWatcher.h"
#include "settings/Settings.h"

namespace vexlink {
namespace {

using test::eventually;

// A console writer into a memory file whose text can be read back.
struct CapturedConsole {
    int fd = memfd_create("console", MFD_CLOEXEC);
    ConsoleWriter console;
    CapturedConsole() { EXPECT_TRUE(console.start(fd)); }
    ~CapturedConsole() { console.stop(), console.join(), close(fd); }
    std::string text() {
        EXPECT_TRUE(console.drain(20000));
        std::string all(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
        return all.substr(0, std::max<ssize_t>(pread(fd, all.data(), all.size(), 0), 0));
    }
};

// Parses `words` as vexlink's arguments, with a loopback card present;
// standard error's text into *err when given.
CommandLineOutcome parse(std::vector<std::string> words, std::string* err = nullptr) {
    words.insert(words.begin(), "vexlink");
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    CommandLineIo io;
    char* text = nullptr;
    size_t size = 0;
    if (err != nullptr) io.err = open_memstream(&text, &size);
    io.loopbackAvailable = [] { return true; };
    io.loopbackOpenError = [] { return 0; };
    io.pipeWireAnswers = [] { return true; };
    const CommandLineOutcome outcome = runCommandLine(static_cast<int>(words.size()), argv.data(), io);
    if (err != nullptr) std::fclose(io.err), *err = text, std::free(text);
    return outcome;
}

std::string lines(int32_t state, int32_t result, bool debug = false) {
    char text[kStateTextCapacity];
    return {text, formatStateLines(text, sizeof text, state, result, debug)};
}

// What a run of `args` stores: transport, address, control and media port,
// -l, -d, then playout mode, concealment and output (their enum values),
// --reconnect, the status line, and the Bluetooth address as str2ba stores
// it (lowest byte first).
std::string stored(std::vector<std::string> args) {
    const CommandLineOutcome outcome = parse(std::move(args));
    uint8_t a[6] = {};
    Settings::getBtAddress(a);
    char text[400];
    std::snprintf(text, sizeof text, "%u %s %d %d l%d d%d %d%d%d r%d s%d %02x%02x%02x%02x%02x%02x",
                  Settings::getTransportType(), Settings::getWifiServerAddr(), Settings::getControlPort(),
                  Settings::getMediaPort(), Settings::getPlayLocally(), outcome.debug,
                  int(Settings::getPlayoutMode()), int(Settings::getConcealment()), int(Settings::getOutput()),
                  Settings::getReconnect(), Settings::getStatusLine(), a[0], a[1], a[2], a[3], a[4], a[5]);
    return outcome.run ? text : "no run";
}

TEST(CommandLine, WhatARunStores) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-t", "Wifi", "host"}, "3 host 8125 49152 l0 d0 000 r0 s1 000000000000"},
        // Options after the operand, abbreviated long names, the later of
        // two, numbers read like atoi; a second operand is ignored.
        {{"10.0.0.7", "-l", "--serv=9000x", "-m", "1", "--med", "5001", "-d", "second"},
         "3 10.0.0.7 9000 5001 l1 d1 000 r0 s1 000000000000"},
        // The long-only options: stored, abbreviated, case ignored.
        {{"--jit=Queue", "--conceal", "codec", "--out=PipeWire", "--r", "--n", "--m=7", "host"},
         "3 host 8125 7 l0 d0 211 r1 s0 000000000000"},
        {{"--jitter-buffer", "adaptive", "host"}, "3 host 8125 49152 l0 d0 100 r0 s1 000000000000"},
        // Bluetooth stores only the device address.
        {{"-t", "BLUETOOTH", "-s", "9000", "-m", "5000", "04:02:1F:2A:95:78"}, "1  0 0 l0 d0 000 r0 s1 78952a1f0204"},
    };
    for (const auto& [args, expected] : cases) {
        Settings::resetForTest();
        EXPECT_EQ(stored(args), expected) << args[0];
    }
    // The text is parsed, never copied: unparsable text of any length is the
    // all-zero address.
    EXPECT_EQ(stored({"-t", "bluetooth", std::string(4000, 'f')}), "1  0 0 l0 d0 000 r0 s1 000000000000");
    EXPECT_EQ(lines(kStateDisconnected, kResultNoAudio),  // the Bluetooth run's media port
              "No audio data is received. Please change your firewall setting to unblock UDP port 0.\n");
    // A word a long-only option does not take ends the run with one line on
    // stderr and status 255.
    for (const std::string bad : {"--jitter-buffer=fast", "--conceal=none", "--output=pulse"}) {
        std::string err;
        const CommandLineOutcome outcome = parse({bad, "host"}, &err);
        EXPECT_FALSE(outcome.run);
        EXPECT_EQ(outcome.exitStatus, kExitBadCommandLine);
        EXPECT_NE(err.find("\"" + bad.substr(bad.find('=') + 1) + "\"\n"), std::string::npos) << err;
    }
}

TEST(Settings, WifiAddressFieldHoldsAtMost255Bytes) {
    Settings::resetForTest();
    ASSERT_TRUE(Settings::setWifiServerAddr(std::string(255, 'b').c_str()));
    EXPECT_EQ(Settings::getWifiServerAddr(), std::string(255, 'b'));
    ASSERT_TRUE(Settings::setWifiServerAddr("x"));
    EXPECT_TRUE(Settings::setWifiServerAddr(nullptr));
    EXPECT_FALSE(Settings::setWifiServerAddr(std::string(256, 'c').c_str()));
    // Exactly the field's size and unterminated: refused without reading
    // past it (the sanitizer build checks that).
    const std::vector<char> unterminated(Settings::kAddressCapacity, 'e');
    EXPECT_FALSE(Settings::setWifiServerAddr(unterminated.data()));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "x");
}

TEST(Console, StateAndResultLines) {
    Settings::resetForTest();
    Settings::setMediaPort(49152);
    const struct {
        int32_t state, result;
        std::string text;
    } cases[] = {
        {kStateConnecting, 0, "\rConnecting... \n"},
        {kStateConnected, 0, "\rConnected     \n"},
        {kStateDisconnecting, 0, "Disconencting...\n"},
        {kStateAborting, 0, "Aborting...\n"},
        {5, kResultConnectFailed, "Unknown state: 5\n"},
        {kStateDisconnected, kResultOk, "\rDisconnected  \n"},
        {kStateDisconnected, kResultAborted, "Aborted.\n"},
        {kStateDisconnected, kResultCannotStart, "Error: Cannot start mic on Android phone.\n"},
        {kStateDisconnected, kResultMismatch,
         "Error: Client and server mismatch. Please install latest server and client.\n"},
        {kStateDisconnected, kResultConnectFailed, "Error: Fail to connect to server.\n"},
        {kStateDisconnected, kResultBadTransport, "Error: Error\n"},
        {kStateDisconnected, kResultMediaPortFailed, "Error: Error\n"},
        {kStateDisconnected, kResultNoAudio,
         "No audio data is received. Please change your firewall setting to unblock UDP port 49152.\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lines(c.state, c.result), c.text) << c.state << ' ' << c.result;
        // With -d, the report follows a normal end and nothing else.
        const bool normalEnd = c.state == kStateDisconnected && c.result == kResultOk;
        EXPECT_EQ(lines(c.state, c.result, true) == c.text, !normalEnd) << c.state << ' ' << c.result;
    }
    const std::string report = lines(kStateDisconnected, kResultOk, true);
    EXPECT_EQ(report.rfind("\rDisconnected  \nStart:\t", 0), 0u) << report;
}

std::atomic<int> ends{0};
void countEnd(int status) {
    EXPECT_EQ(status, 0);
    ++ends;
}
void instantSecond() { std::this_thread::yield(); }

TEST(Console, CallbackPrintsEveryStateAndEndsTheProcessOnceAsDoesMainWhenNothingCame) {
    ends = 0;
    CapturedConsole out;
    MyPlayerCallback callback(&out.console, &countEnd);
    for (int32_t state : {kStateConnecting, kStateConnected, kStateDisconnecting}) callback.onStateChanged(state, 0, 0);
    callback.onStateChanged(kStateDisconnected, kResultOk, 104);
    callback.onStateChanged(kStateDisconnected, kResultAborted, 0);  // shown, but ends nothing more
    EXPECT_EQ(ends.load(), 1);
    EXPECT_FALSE(waitForFinalState(callback, &instantSecond));  // main finds the end taken
    // Main ends the process only when nothing was reported in the first second.
    MyPlayerCallback quiet(&out.console, &countEnd);
    EXPECT_TRUE(waitForFinalState(quiet, &instantSecond));
    quiet.onStateChanged(kStateDisconnected, kResultConnectFailed, 0);  // late: shown, ends nothing
    EXPECT_EQ(out.text(), "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \nAborted.\n"
                          "Error: Fail to connect to server.\n");
    EXPECT_EQ(ends.load(), 1);
    // However main's poll and the final report interleave, the callback
    // that reported the final state is the one that ends the process.
    for (int round = 0; round < 50; ++round) {
        MyPlayerCallback racing(&out.console, &countEnd);
        racing.onStateChanged(kStateConnecting, 0, 0);
        std::thread eventThread([&] { racing.onStateChanged(kStateDisconnected, kResultConnectFailed, 0); });
        EXPECT_FALSE(waitForFinalState(racing, &instantSecond));
        eventThread.join();
    }
    EXPECT_EQ(ends.load(), 51);
}

// A stdout that nobody reads: a text that does not fit is dropped whole and
// counted, the rest comes out in order once it is read.
TEST(ConsoleWriter, BlockedOutputDropsWholeTextsAndKeepsTheOrder) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    std::string expected(static_cast<size_t>(fcntl(fds[1], F_SETPIPE_SZ, 4096)), '-');
    ASSERT_EQ(write(fds[1], expected.data(), expected.size()), static_cast<ssize_t>(expected.size()));  // full
    ConsoleWriter console;
    ASSERT_TRUE(console.start(fds[1]));
    const std::string line = std::string(99, 'a') + "\n";
    for (size_t i = 0; i < ConsoleWriter::kCapacity / line.size(); ++i, expected += line) {
        ASSERT_TRUE(console.post(line.data(), line.size())) << i;
    }
    EXPECT_FALSE(console.post(line.data(), line.size()));
    EXPECT_TRUE(console.post("end\n", 4));  // nothing of the dropped text before it
    expected += "end\n";
    EXPECT_EQ(console.droppedTexts(), 1u);
    EXPECT_FALSE(console.drain(10));  // the bound holds while the writer is stuck
    std::string read(expected.size(), '\0');
    for (size_t got = 0; got < read.size();) {
        const ssize_t n = ::read(fds[0], &read[got], read.size() - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(read, expected);
    EXPECT_TRUE(console.drain(20000));
    console.stop();
    console.join();
    close(fds[0]), close(fds[1]);
}

TEST(SignalWatcher, InterruptRunsTheActionAndOtherNumbersAreReported) {
    CapturedConsole out;
    const std::set<std::filesystem::path> before(std::filesystem::directory_iterator("/proc/self/task"), {});
    std::atomic<int> actions{0};
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.start([&] { ++actions; }, &out.console));
    // SIGTERM to the watcher thread itself, asleep in its read (no
    // SA_RESTART): the read fails with EINTR and the watcher reads on.
    std::string task;
    for (const auto& t : std::filesystem::directory_iterator("/proc/self/task"))
        if (!before.contains(t.path())) task = t.path();
    ASSERT_FALSE(task.empty());
    for (std::string call; !call.starts_with(std::to_string(SYS_read) + ' ');)
        std::getline(std::ifstream(task + "/syscall"), call);
    ASSERT_EQ(syscall(SYS_tgkill, getpid(), std::stoi(task.substr(task.rfind('/') + 1)), SIGTERM), 0);
    ASSERT_TRUE(eventually([&] { return actions == 1; }));
    SignalWatcher::handleSignal(SIGUSR1, nullptr, nullptr);
    SignalWatcher::handleSignal(SIGINT, nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return actions == 2; }));  // read in order: the report came first
    watcher.stop();
    EXPECT_EQ(out.text(), "Unkown signal: " + std::to_string(SIGUSR1) + "\n");
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) ASSERT_EQ(raise(signo), 0);  // inert after stop: nothing dies
    EXPECT_EQ(actions.load(), 2);
    SignalWatcher other;  // one watcher at a time
    ASSERT_TRUE(other.start([] {}));
    EXPECT_FALSE(watcher.start([] {}));
}

// A watcher whose thread cannot start says so and leaves room for the next.
TEST(SignalWatcher, NoThreadNoWatcher) {
    pthread_attr_t attr;
    size_t usual = 0;
    ASSERT_EQ(pthread_getattr_default_np(&attr), 0);
    ASSERT_EQ(pthread_attr_getstacksize(&attr, &usual), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, size_t{1} << 50), 0);  // beyond the address space
    ASSERT_EQ(pthread_setattr_default_np(&attr), 0);
    SignalWatcher watcher;
    const bool started = watcher.start([] {});
    ASSERT_EQ(pthread_attr_setstacksize(&attr, usual), 0);
    ASSERT_EQ(pthread_setattr_default_np(&attr), 0);
    pthread_attr_destroy(&attr);
    EXPECT_FALSE(started);
    EXPECT_TRUE(watcher.start([] {}));
    watcher.stop();
}

TEST(SignalWatcher, HandlerNeverBlocksOnAFullPipe) {
    std::mutex gate;
    std::atomic<int> actions{0};
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.start([&] {
        ++actions;
        std::lock_guard<std::mutex> pass(gate);
    }));
    std::unique_lock<std::mutex> closed(gate);
    SignalWatcher::handleSignal(SIGINT, nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return actions == 1; }));  // the watcher is held: nothing drains the pipe
    errno = 4242;
    for (int i = 0; i < (1 << 17); ++i) SignalWatcher::handleSignal(SIGINT, nullptr, nullptr);  // twice a pipe's room
    EXPECT_EQ(errno, 4242);
    closed.unlock();
    watcher.stop();
    EXPECT_GT(actions.load(), 1);
}

}  // namespace
}  // namespace vexlink
