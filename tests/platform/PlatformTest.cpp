#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <sched.h>
#include <string>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "platform/Clock.h"
#include "platform/Mutex.h"
#include "platform/PeriodicTimer.h"
#include "platform/Semaphore.h"
#include "platform/Thread.h"

namespace vexlink {
namespace {

TEST(Semaphore, CountAdmitsThatManyWaitsAndATimedWaitOrdersMemory) {
    Semaphore sem(32);
    for (int i = 0; i < 32; ++i) EXPECT_TRUE(sem.waitFor(0)) << i;
    EXPECT_FALSE(sem.waitFor(0));
    int message = 0;  // plain: the semaphore alone orders the write and the read
    std::thread poster([&] {
        message = 42;
        sem.post();
    });
    ASSERT_TRUE(sem.waitFor(60000));
    EXPECT_EQ(message, 42);
    poster.join();
    const uint64_t t0 = monotonicMs();
    EXPECT_FALSE(sem.waitFor(50));  // exactly one unit was posted
    EXPECT_GE(monotonicMs() - t0, 49u);  // never early (1 ms for truncation)
}

std::atomic<int> g_handlerRuns{0};

// Blocks a thread with a count of 0 in `take`, interrupts it with a handler
// installed without SA_RESTART (so the call really sees EINTR), and checks
// that only post() ends the wait.
void expectOnlyPostEndsTheWait(bool (*take)(Semaphore&)) {
    struct sigaction sa{}, old{};
    sa.sa_handler = [](int) { g_handlerRuns.fetch_add(1); };
    sigaction(SIGUSR1, &sa, &old);
    Semaphore sem(0);
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{-1};
    std::thread waiter([&] {
        tid = gettid();
        result = take(sem);
    });
    auto waitUntilAsleep = [&] {  // 'S' in /proc: blocked inside the wait (or, wrongly, returned)
        for (std::string stat; result == -1 && stat.find(") S ") == std::string::npos; std::this_thread::yield())
            std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat"), stat);
    };
    waitUntilAsleep();
    const int before = g_handlerRuns.load();
    pthread_kill(waiter.native_handle(), SIGUSR1);
    while (g_handlerRuns.load() == before && result == -1) std::this_thread::yield();
    waitUntilAsleep();
    EXPECT_EQ(result.load(), -1);
    sem.post();
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(Semaphore, SignalsToAWaiterDoNotEndTheWait) {
    expectOnlyPostEndsTheWait([](Semaphore& s) { return s.wait(), true; });
#if !defined(__SANITIZE_THREAD__)  // which defers signals during sem_clockwait, a call it does not intercept
    expectOnlyPostEndsTheWait([](Semaphore& s) { return s.waitFor(60000); });
#endif
}

TEST(Mutex, TryLockTakesOnlyAFreeLockAndNeverWaits) {
    Mutex mutex;
    ASSERT_TRUE(mutex.tryLock());
    EXPECT_FALSE(mutex.tryLock());  // held; not recursive, so the holder is refused too
    mutex.unlock();
    EXPECT_TRUE(mutex.tryLock());
    mutex.unlock();
}

TEST(Thread, CreatedThreadRunsJoinsAndIgnoresARefusedPriority) {
    struct Probe { Semaphore go{0}; ThreadId id{}; bool onItself = false; } probe;
    ThreadId& id = probe.id;
    EXPECT_FALSE(createThread(nullptr, nullptr, &id));
    ASSERT_TRUE(createThread([](void* arg) {
        auto* p = static_cast<Probe*>(arg);
        p->go.wait();  // posted once the creator has stored the id
        p->onItself = isCurrentThread(p->id);
    }, &probe, &id));
    EXPECT_FALSE(isCurrentThread(id));
    testing::internal::CaptureStderr();
    raiseThreadPriority(id);  // refused without privileges, silently
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    int policy = -1;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(id, &policy, &param), 0);
    EXPECT_TRUE(policy == SCHED_OTHER || param.sched_priority == sched_get_priority_max(SCHED_FIFO)) << policy;
    probe.go.post();
    EXPECT_TRUE(joinThread(id));
    EXPECT_TRUE(probe.onItself);
    EXPECT_FALSE(joinThread(pthread_self()));
}

TEST(Clock, MillisecondsAndMicrosecondsAgreeAndNeverGoBack) {
    uint64_t lastMs = 0, lastUs = 0;
    for (int i = 0; i < 10000; ++i) {
        const uint64_t before = monotonicUs(), ms = monotonicMs(), after = monotonicUs();
        ASSERT_TRUE(ms >= lastMs && before >= lastUs && after >= before) << i;
        ASSERT_TRUE(before / 1000 <= ms && ms <= after / 1000) << before << " " << ms << " " << after;
        lastMs = ms;
        lastUs = after;
    }
}

constexpr uint64_t kP = 20000;  // 20 ms in microseconds
constexpr uint64_t kT0 = 7000000;
using Us = std::vector<uint64_t>;

TEST(PlanNextTick, MakesUpEveryDueTickAtOnceAndKeepsToTheGrid) {
    struct Case { uint64_t next, now; uint32_t extra, sleep; uint64_t nextAfter; };
    constexpr uint64_t hour = 3600ull * 1000000;  // more than 2^31 us late
    for (const Case& c : {Case{0, 3000, 0, 17000, kP},          // on time
                          Case{0, kP, 1, kP, 2 * kP},           // exactly on the next tick
                          Case{0, 50000, 2, 10000, 3 * kP},     // a 50 ms call
                          Case{0, kP + hour, hour / kP + 1, kP, hour + 2 * kP},
                          Case{10 * kP, 0, 0, kP, 11 * kP}}) {  // the clock went back
        uint64_t next = c.next;
        const TickPlan plan = planNextTick(next, c.now, kP);
        EXPECT_EQ(std::tuple(plan.extraCalls, plan.sleepUs, next), std::tuple(c.extra, c.sleep, c.nextAfter)) << c.now;
    }
}

// The fixture is the timer's clock and listener: time moves only when the
// timer sleeps or call k costs cost(k). A sleep that would pass `horizon`
// parks the timer thread until released, so a test sees exactly what happened
// up to the horizon. Only the timer thread touches the fields while it runs.
class PeriodicTimerFake : public testing::Test, public TimerClock, public TimerListener {
protected:
    uint64_t now = kT0, horizon = UINT64_MAX;
    Us calls, scheduled;  // offsets from kT0
    std::function<uint64_t(size_t)> cost = [](size_t) { return 0; };
    std::function<uint64_t(size_t)> moveTo = [](size_t) { return 0; };  // offset, 0: none
    Semaphore parked{0}, release{0};
    PeriodicTimer timer{*this};

    uint64_t nowUs() override { return now; }
    void sleepUs(uint32_t us) override {
        if (now + us > horizon) {
            parked.post();
            release.wait();
        }
        now += us;
    }
    void onTimer() override {
        calls.push_back(now - kT0);
        scheduled.push_back(timer.scheduledUs() - kT0);
        now += cost(calls.size() - 1);
        if (const uint64_t to = moveTo(calls.size() - 1)) timer.moveNextTick(kT0 + to);
    }
    // Runs the timer until its next sleep would end after kT0 + untilUs.
    void runUntil(uint64_t untilUs, int periodMs = 20) {
        horizon = kT0 + untilUs;
        ASSERT_TRUE(timer.start(this, periodMs));
        parked.wait();
    }
    // stop() clears the flag before the parked sleep ends: no call follows.
    void stopParked() {
        std::thread stopper([&] { timer.stop(); });
        while (timer.isRunning()) std::this_thread::yield();
        release.post();
        stopper.join();
    }
    void TearDown() override { stopParked(); }
};

TEST_F(PeriodicTimerFake, LateCallsAreFollowedByTheMissedCallsAtOnce) {
    // The first call takes 50 ms; the one at 80 ms ends exactly on the tick at
    // 100 ms. The call times show each sleep: after a burst only to the next tick.
    cost = [](size_t k) -> uint64_t { return k == 0 ? 50000 : k == 4 ? kP : 0; };
    runUntil(120000);
    EXPECT_EQ(calls, (Us{0, 50000, 50000, 60000, 80000, 100000, 120000}));
}

// Each call knows when it was due. A moved tick ends the burst in progress
// (the one due at 40 ms is dropped) and the schedule goes on from it; it is
// never later than two periods after the call that moved it.
TEST_F(PeriodicTimerFake, ScheduledTimesAndMovedTicks) {
    cost = [](size_t k) -> uint64_t { return k == 0 ? 50000 : 0; };
    moveTo = [](size_t k) -> uint64_t { return k == 1 ? 30000 : k == 4 ? 75000 : k == 5 ? 200000 : 0; };
    runUntil(135000);
    EXPECT_EQ(calls, (Us{0, 50000, 50000, 50000, 70000, 75000, 115000, 135000}));
    EXPECT_EQ(scheduled, (Us{0, 20000, 30000, 50000, 70000, 75000, 115000, 135000}));
}

TEST_F(PeriodicTimerFake, StopFromOutsideCutsABurstShortAndNoCallFollows) {
    Semaphore inBurst(0);
    cost = [&](size_t k) -> uint64_t {
        if (k == 5) for (inBurst.post(); timer.isRunning();) std::this_thread::yield();
        return k == 0 ? 10000000 : 0;  // 500 ticks to make up
    };
    ASSERT_TRUE(timer.start(this, 20));
    inBurst.wait();
    timer.stop();
    EXPECT_EQ(calls.size(), 6u);
    timer.stop();
    PeriodicTimer(*this).stop();  // never started
    EXPECT_FALSE(timer.isRunning());
}

TEST_F(PeriodicTimerFake, RestartBeginsAFreshScheduleAndBadStartsAreRefused) {
    EXPECT_FALSE(timer.start(this, 0));
    EXPECT_FALSE(timer.start(nullptr, 20));
    runUntil(40000);
    EXPECT_FALSE(timer.start(this, 20));  // the running thread is kept
    stopParked();
    const uint64_t t1 = now - kT0 + 1234567;  // off the old grid
    now = kT0 + t1;
    runUntil(t1 + 90000, 30);
    EXPECT_EQ(calls, (Us{0, 20000, 40000, t1, t1 + 30000, t1 + 60000, t1 + 90000}));
}

TEST(PeriodicTimerReal, CallCountFollowsElapsedTimeOverPeriod) {
    struct Counter : TimerListener {
        std::atomic<uint64_t> calls{0};
        Semaphore reached{0};
        void onTimer() override { if (++calls == 126) reached.post(); }  // 2.5 s in
    } listener;
    PeriodicTimer timer;
    const uint64_t t0 = monotonicUs();
    ASSERT_TRUE(timer.start(&listener, 20));
    ASSERT_TRUE(listener.reached.waitFor(60000));
    timer.stop();
    const uint64_t due = (monotonicUs() - t0) / kP + 1;
    EXPECT_LE(listener.calls.load(), due);       // never ahead of the schedule
    EXPECT_GE(listener.calls.load() + 50, due);  // late ticks made up; 1 s slack for a loaded machine
}

}  // namespace
}  // namespace vexlink
