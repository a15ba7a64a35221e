#include "app/SignalWatcher.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>

#include "AppTestText.h"

namespace vexlink {
namespace {

using test::CapturedStream;

// Counts interrupt actions and lets a test wait for a number of them.
class InterruptLog {
public:
    void record() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++count_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held_; });
    }
    bool waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return count_ >= count; });
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    // While held, the action does not return: the watcher stops reading.
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = on;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    bool held_ = false;
};

TEST(SignalWatcherTest, InstallsTheHandlerAsSiginfoWithoutRestartAndAnEmptyMask) {
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.start([] {}));
    struct sigaction installed {};
    ASSERT_EQ(sigaction(SIGINT, nullptr, &installed), 0);
    EXPECT_EQ(installed.sa_flags & (SA_SIGINFO | SA_RESTART | SA_RESETHAND | SA_NODEFER), SA_SIGINFO);
    EXPECT_EQ(installed.sa_sigaction, &SignalWatcher::handleSignal);
    for (int signo = 1; signo < NSIG; ++signo) {
        EXPECT_EQ(sigismember(&installed.sa_mask, signo), 0) << signo;
    }
}

TEST(SignalWatcherTest, InterruptRunsTheActionOnTheWatcherThread) {
    InterruptLog log;
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.start([&] { log.record(); }));
    ASSERT_EQ(raise(SIGINT), 0);  // the process survives: the handler only writes
    ASSERT_TRUE(log.waitFor(1));
    ASSERT_EQ(raise(SIGINT), 0);
    ASSERT_TRUE(log.waitFor(2));
    watcher.stop();
    EXPECT_EQ(log.count(), 2);
}

TEST(SignalWatcherTest, OtherNumbersAreReportedNotActedOn) {
    InterruptLog log;
    CapturedStream out;
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.start([&] { log.record(); }, out.file()));
    SignalWatcher::handleSignal(SIGUSR1, nullptr, nullptr);
    SignalWatcher::handleSignal(SIGINT, nullptr, nullptr);
    ASSERT_TRUE(log.waitFor(1));  // bytes are read in order: the report came first
    watcher.stop();
    EXPECT_EQ(out.text(), "Unkown signal: " + std::to_string(SIGUSR1) + "\n");
    EXPECT_EQ(log.count(), 1);
}

TEST(SignalWatcherTest, HandlerNeverBlocksAndKeepsErrnoWhenThePipeIsFull) {
    InterruptLog log;
    SignalWatcher watcher;
    ASSERT_TRUE(watcher.start([&] { log.record(); }));
    log.hold(true);
    SignalWatcher::handleSignal(SIGINT, nullptr, nullptr);
    ASSERT_TRUE(log.waitFor(1));  // the watcher is now stuck in the action
    // Far more than a pipe holds: later writes fail with EAGAIN, which the
    // handler must neither wait on nor leak into errno.
    for (int i = 0; i < 200000; ++i) {
        errno = 4242;
        SignalWatcher::handleSignal(SIGINT, nullptr, nullptr);
        ASSERT_EQ(errno, 4242);
    }
    log.hold(false);
    watcher.stop();  // drains what fitted, then ends
    EXPECT_GT(log.count(), 1);
    EXPECT_LE(log.count(), 200001);
}

TEST(SignalWatcherTest, AfterStopAnInterruptIsHarmless) {
    InterruptLog log;
    {
        SignalWatcher watcher;
        ASSERT_TRUE(watcher.start([&] { log.record(); }));
        watcher.stop();
        EXPECT_FALSE(watcher.running());
        watcher.stop();  // twice is fine
    }
    ASSERT_EQ(raise(SIGINT), 0);  // still handled (inert), so the process lives
    EXPECT_EQ(log.count(), 0);
}

TEST(SignalWatcherTest, OnlyOneWatcherAtATimeAndItCanStartAgain) {
    InterruptLog log;
    SignalWatcher first;
    SignalWatcher second;
    ASSERT_TRUE(first.start([] {}));
    EXPECT_FALSE(second.start([&] { log.record(); }));
    EXPECT_FALSE(first.start([] {}));
    first.stop();
    ASSERT_TRUE(second.start([&] { log.record(); }));
    ASSERT_EQ(raise(SIGINT), 0);
    EXPECT_TRUE(log.waitFor(1));
}

}  // namespace
}  // namespace vexlink
