#include "app/Console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AppTestText.h"
#include "app/CommandLine.h"
#include "control/Settings.h"

namespace vexlink {
namespace {

using test::CapturedStream;

std::atomic<int> endCalls{0};
std::atomic<int> lastEndStatus{-1};
void recordEnd(int status) {
    lastEndStatus = status;
    ++endCalls;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::resetForTest();
        endCalls = 0;
        lastEndStatus = -1;
    }

    std::string lineFor(int32_t state, int32_t result = 0, bool debug = false) {
        CapturedStream out;
        printStateLine(out.file(), state, result, debug);
        return out.text();
    }
};

TEST_F(ConsoleTest, StateLines) {
    EXPECT_EQ(lineFor(kStateConnecting), "\rConnecting... \n");
    EXPECT_EQ(lineFor(kStateConnected), "\rConnected     \n");
    EXPECT_EQ(lineFor(kStateDisconnecting), "Disconencting...\n");
    EXPECT_EQ(lineFor(kStateAborting), "Aborting...\n");
    EXPECT_EQ(lineFor(5), "Unknown state: 5\n");
    EXPECT_EQ(lineFor(-3, -25), "Unknown state: -3\n");
}

TEST_F(ConsoleTest, CarriageReturnLinesOverwriteEachOther) {
    // Each is 14 visible characters after the carriage return.
    for (int32_t state : {kStateConnecting, kStateConnected}) {
        const std::string line = lineFor(state);
        EXPECT_EQ(line.size(), 1u + 14u + 1u) << line;
    }
    EXPECT_EQ(lineFor(kStateDisconnected, 0).size(), 1u + 14u + 1u);
}

TEST_F(ConsoleTest, ResultLines) {
    EXPECT_EQ(lineFor(kStateDisconnected, 0), "\rDisconnected  \n");
    EXPECT_EQ(lineFor(kStateDisconnected, -28), "Aborted.\n");
    EXPECT_EQ(lineFor(kStateDisconnected, -71), "Error: Cannot start mic on Android phone.\n");
    EXPECT_EQ(lineFor(kStateDisconnected, -70),
              "Error: Client and server mismatch. Please install latest server and client.\n");
    EXPECT_EQ(lineFor(kStateDisconnected, -25), "Error: Fail to connect to server.\n");
    for (int32_t other : {-1, -20, -27, -99, 5}) {
        EXPECT_EQ(lineFor(kStateDisconnected, other), "Error: Error\n") << other;
    }
}

TEST_F(ConsoleTest, NoAudioLineNamesTheStoredMediaPort) {
    Settings::setMediaPort(49152);
    EXPECT_EQ(lineFor(kStateDisconnected, -29),
              "No audio data is received. Please change your firewall setting to unblock UDP port 49152.\n");
}

TEST_F(ConsoleTest, NoAudioLineShowsPortZeroOnBluetooth) {
    test::Argv args({"-t", "Bluetooth", "-m", "5000", "04:02:1F:2A:95:78"});
    CapturedStream ignored;
    CommandLineIo io;
    io.out = ignored.file();
    io.loopbackAvailable = [] { return true; };
    ASSERT_TRUE(runCommandLine(args.argc(), args.argv(), io).run);
    EXPECT_EQ(lineFor(kStateDisconnected, -29),
              "No audio data is received. Please change your firewall setting to unblock UDP port 0.\n");
}

TEST_F(ConsoleTest, DebugAddsTheReportOnlyAfterANormalEnd) {
    const std::string report = lineFor(kStateDisconnected, 0, true);
    const std::string head = "\rDisconnected  \n";
    ASSERT_GT(report.size(), head.size());
    EXPECT_EQ(report.compare(0, head.size(), head), 0);
    EXPECT_EQ(report.compare(head.size(), 7, "Start:\t"), 0);
    EXPECT_NE(report.find("received: "), std::string::npos);
    EXPECT_NE(report.find("missed: "), std::string::npos);

    EXPECT_EQ(lineFor(kStateDisconnected, -28, true), "Aborted.\n");
    EXPECT_EQ(lineFor(kStateDisconnected, -25, true), "Error: Fail to connect to server.\n");
}

TEST_F(ConsoleTest, CallbackPrintsEachStateAndRecordsIt) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    EXPECT_EQ(callback.lastState(), kStateDisconnected);
    callback.onStateChanged(kStateConnecting, 0, 0);
    EXPECT_EQ(callback.lastState(), kStateConnecting);
    callback.onStateChanged(kStateConnected, 0, 0);
    callback.onStateChanged(kStateDisconnecting, 0, 0);
    EXPECT_EQ(callback.lastState(), kStateDisconnecting);
    EXPECT_EQ(endCalls.load(), 0);
    callback.onStateChanged(kStateDisconnected, 0, 104);  // the detail is not printed
    EXPECT_EQ(callback.lastState(), kStateDisconnected);
    EXPECT_EQ(endCalls.load(), 1);
    EXPECT_EQ(lastEndStatus.load(), 0);
    EXPECT_EQ(out.text(), "\rConnecting... \n\rConnected     \nDisconencting...\n\rDisconnected  \n");
}

TEST_F(ConsoleTest, FailedConnectionEndsTheProcessWithStatusZero) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    callback.onStateChanged(kStateConnecting, 0, 0);
    callback.onStateChanged(kStateDisconnected, -20, 111);
    EXPECT_EQ(out.text(), "\rConnecting... \nError: Error\n");
    EXPECT_EQ(endCalls.load(), 1);
    EXPECT_EQ(lastEndStatus.load(), 0);
}

TEST_F(ConsoleTest, DebugFlagReachesTheFinalLines) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    callback.setDebug(true);
    callback.onStateChanged(kStateDisconnected, 0, 0);
    EXPECT_NE(out.text().find("Start:\t"), std::string::npos);
}

TEST_F(ConsoleTest, OnlyTheFirstFinalStateEndsTheProcess) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    callback.onStateChanged(kStateDisconnected, -25, 0);
    callback.onStateChanged(kStateDisconnected, -28, 0);
    EXPECT_EQ(endCalls.load(), 1);
    EXPECT_FALSE(callback.claimExit());  // main finds the end taken
    // The result is still shown.
    EXPECT_EQ(out.text(), "Error: Fail to connect to server.\nAborted.\n");
}

TEST_F(ConsoleTest, WhenMainEndedFirstTheCallbackPrintsButDoesNotEnd) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    ASSERT_TRUE(callback.claimExit());  // main, nothing reported within a second
    callback.onStateChanged(kStateConnecting, 0, 0);
    callback.onStateChanged(kStateDisconnected, -25, 0);
    EXPECT_EQ(endCalls.load(), 0);
    EXPECT_EQ(out.text(), "\rConnecting... \nError: Fail to connect to server.\n");
}

// main's poll races the event thread's final report: whenever main sees the
// final state that the callback reports, the callback must already own the
// process's end, so exactly one side ends it and it is always the callback.
TEST_F(ConsoleTest, MainNeverWinsAFinalStateTheCallbackReported) {
    constexpr int kRounds = 200;
    int mainWins = 0;
    for (int round = 0; round < kRounds; ++round) {
        CapturedStream out;
        MyPlayerCallback callback(out.file(), &recordEnd);
        callback.onStateChanged(kStateConnecting, 0, 0);
        const int before = endCalls.load();
        std::atomic<bool> go{false};
        std::thread eventThread([&] {
            while (!go.load()) std::this_thread::yield();
            callback.onStateChanged(kStateDisconnected, -25, 0);
        });
        go = true;
        while (callback.lastState() != kStateDisconnected) {
        }
        if (callback.claimExit()) ++mainWins;
        eventThread.join();
        ASSERT_EQ(endCalls.load(), before + 1);
    }
    EXPECT_EQ(mainWins, 0);
}

int sleeps = 0;
MyPlayerCallback* sleepingFor = nullptr;
int reportAtSleep = -1;
void fakeSleep() {
    ++sleeps;
    if (sleeps == reportAtSleep) {
        sleepingFor->onStateChanged(kStateConnecting, 0, 0);
    } else if (sleeps == reportAtSleep + 2) {
        sleepingFor->onStateChanged(kStateDisconnected, -25, 0);
    }
}

TEST_F(ConsoleTest, NothingReportedWithinTheFirstSecondLetsMainEnd) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    sleeps = 0;
    sleepingFor = &callback;
    reportAtSleep = -10;  // never
    EXPECT_TRUE(waitForFinalState(callback, &fakeSleep));
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(endCalls.load(), 0);
}

TEST_F(ConsoleTest, MainWaitsWhileConnectedAndLeavesTheEndToTheCallback) {
    CapturedStream out;
    MyPlayerCallback callback(out.file(), &recordEnd);
    sleeps = 0;
    sleepingFor = &callback;
    reportAtSleep = 1;  // Connecting during the first second, the result two seconds later
    EXPECT_FALSE(waitForFinalState(callback, &fakeSleep));
    EXPECT_EQ(sleeps, 3);
    EXPECT_EQ(endCalls.load(), 1);
}

}  // namespace
}  // namespace vexlink
