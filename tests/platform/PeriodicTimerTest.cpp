#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/PeriodicTimer.h"
#include "platform/Semaphore.h"

namespace vexlink {
namespace {

constexpr uint64_t kP = 20000;  // 20 ms in microseconds

// ---------------------------------------------------------------------------
// The catch-up rule on its own.

TEST(PlanNextTick, OnTimeSleepsUntilTheNextTick) {
    uint64_t next = 1000000;  // the tick just served
    const TickPlan plan = planNextTick(next, 1000000 + 3000, kP);
    EXPECT_EQ(plan.extraCalls, 0u);
    EXPECT_EQ(plan.sleepUs, 17000u);
    EXPECT_EQ(next, 1020000u);
}

TEST(PlanNextTick, JustBeforeTheNextTickSleepsOneMicrosecond) {
    uint64_t next = 0;
    const TickPlan plan = planNextTick(next, kP - 1, kP);
    EXPECT_EQ(plan.extraCalls, 0u);
    EXPECT_EQ(plan.sleepUs, 1u);
    EXPECT_EQ(next, kP);
}

TEST(PlanNextTick, ExactlyOnTheNextTickCallsOnceMoreAndSleepsAFullPeriod) {
    uint64_t next = 500;
    const TickPlan plan = planNextTick(next, 500 + kP, kP);
    EXPECT_EQ(plan.extraCalls, 1u);
    EXPECT_EQ(plan.sleepUs, kP);
    EXPECT_EQ(next, 500 + 2 * kP);
}

TEST(PlanNextTick, FiftyMillisecondCallMakesUpTwoTicksThenSleepsTen) {
    uint64_t next = 0;
    const TickPlan plan = planNextTick(next, 50000, kP);
    EXPECT_EQ(plan.extraCalls, 2u);   // the ticks due at 20 and 40 ms
    EXPECT_EQ(plan.sleepUs, 10000u);  // until 60 ms
    EXPECT_EQ(next, 60000u);
}

TEST(PlanNextTick, LateByOneMicrosecondMakesUpOneTick) {
    uint64_t next = 0;
    const TickPlan plan = planNextTick(next, kP + 1, kP);
    EXPECT_EQ(plan.extraCalls, 1u);
    EXPECT_EQ(plan.sleepUs, kP - 1);
    EXPECT_EQ(next, 2 * kP);
}

TEST(PlanNextTick, LateByExactlyWholePeriodsTakesTheTickNowDue) {
    uint64_t next = 0;
    // Next tick at 20 ms, now 60 ms: ticks at 20, 40 and 60 ms are due.
    const TickPlan plan = planNextTick(next, 3 * kP, kP);
    EXPECT_EQ(plan.extraCalls, 3u);
    EXPECT_EQ(plan.sleepUs, kP);
    EXPECT_EQ(next, 4 * kP);
}

TEST(PlanNextTick, SleepAfterABurstIsAlwaysBetweenOneAndAPeriod) {
    for (uint64_t now = kP + 1; now < 10 * kP; now += 997) {
        uint64_t next = 0;
        const TickPlan plan = planNextTick(next, now, kP);
        EXPECT_GE(plan.sleepUs, 1u);
        EXPECT_LE(plan.sleepUs, kP);
        EXPECT_EQ(next, now + plan.sleepUs) << now;  // schedule kept exactly
        EXPECT_EQ(next % kP, 0u);
    }
}

TEST(PlanNextTick, AStallOfHoursDoesNotWrapIntoALongSleep) {
    // 40 minutes late: more than 2^31 microseconds.
    const uint64_t late = 40ull * 60 * 1000000;
    uint64_t next = 0;
    const TickPlan plan = planNextTick(next, kP + late, kP);
    EXPECT_EQ(plan.extraCalls, late / kP + 1);
    EXPECT_EQ(plan.sleepUs, kP);
    EXPECT_EQ(next, kP + late + kP);
}

TEST(PlanNextTick, AClockThatWentBackNeverSleepsLongerThanAPeriod) {
    uint64_t next = 10 * kP;
    const TickPlan plan = planNextTick(next, 0, kP);
    EXPECT_EQ(plan.extraCalls, 0u);
    EXPECT_EQ(plan.sleepUs, kP);
}

// ---------------------------------------------------------------------------
// The timer thread on a fake clock.

// Time moves only when the timer sleeps or the listener says it took time.
// A sleep that would pass `horizon` parks the timer thread until release(),
// so a test can look at everything that happened up to the horizon.
class FakeClock : public TimerClock {
public:
    explicit FakeClock(uint64_t start) : now_(start) {}

    // The timer thread's own readings, logged.
    uint64_t nowUs() override {
        std::lock_guard<std::mutex> lock(m_);
        reads_.push_back(now_);
        return now_;
    }
    // Anyone else's reading.
    uint64_t peek() {
        std::lock_guard<std::mutex> lock(m_);
        return now_;
    }

    void sleepUs(uint32_t us) override {
        std::unique_lock<std::mutex> lock(m_);
        sleeps_.push_back(us);
        if (!released_ && now_ + us > horizon_) {
            parked_ = true;
            parkedSleep_ = us;
            cv_.notify_all();
            cv_.wait(lock, [&] { return released_; });
        }
        now_ += us;
    }

    void advance(uint64_t us) {
        std::lock_guard<std::mutex> lock(m_);
        now_ += us;
    }

    void arm(uint64_t horizon) {
        std::lock_guard<std::mutex> lock(m_);
        horizon_ = horizon;
        released_ = false;
        parked_ = false;
        sleeps_.clear();
    }

    void waitParked() {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait(lock, [&] { return parked_; });
    }

    void release() {
        std::lock_guard<std::mutex> lock(m_);
        released_ = true;
        cv_.notify_all();
    }

    std::vector<uint32_t> sleeps() {
        std::lock_guard<std::mutex> lock(m_);
        return sleeps_;
    }
    uint64_t lastRead() {
        std::lock_guard<std::mutex> lock(m_);
        return reads_.back();
    }
    uint32_t parkedSleep() {
        std::lock_guard<std::mutex> lock(m_);
        return parkedSleep_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    uint64_t now_;
    uint64_t horizon_ = UINT64_MAX;
    bool released_ = true;
    bool parked_ = false;
    uint32_t parkedSleep_ = 0;
    std::vector<uint32_t> sleeps_;
    std::vector<uint64_t> reads_;
};

// Records the clock at every call; `duration(k)` is how long call k takes.
class RecordingListener : public TimerListener {
public:
    RecordingListener(FakeClock& clock, std::function<uint64_t(size_t)> duration = nullptr)
        : clock_(clock), duration_(std::move(duration)) {}

    void onTimer() override {
        size_t k;
        {
            std::lock_guard<std::mutex> lock(m_);
            k = times_.size();
            times_.push_back(clock_.peek());
        }
        if (duration_) clock_.advance(duration_(k));
    }

    std::vector<uint64_t> times() {
        std::lock_guard<std::mutex> lock(m_);
        return times_;
    }

private:
    FakeClock& clock_;
    std::function<uint64_t(size_t)> duration_;
    std::mutex m_;
    std::vector<uint64_t> times_;
};

// Stops a timer parked on the fake clock without letting it run on: stop()
// clears the flag first, then the sleep is released and the thread ends.
void stopParked(PeriodicTimer& timer, FakeClock& clock) {
    std::thread stopper([&] { timer.stop(); });
    while (timer.isRunning()) std::this_thread::yield();
    clock.release();
    stopper.join();
}

constexpr uint64_t kT0 = 7000000;

std::vector<uint64_t> offsets(const std::vector<uint64_t>& times, uint64_t origin) {
    std::vector<uint64_t> out;
    for (uint64_t t : times) out.push_back(t - origin);
    return out;
}

TEST(PeriodicTimer, PromptListenerIsCalledAtOnceThenEveryPeriodWithoutDrift) {
    FakeClock clock(kT0);
    RecordingListener listener(clock);
    PeriodicTimer timer(clock);
    clock.arm(kT0 + 60ull * 1000000);  // one minute
    ASSERT_TRUE(timer.start(&listener, 20));
    EXPECT_TRUE(timer.isRunning());
    clock.waitParked();
    const auto times = listener.times();
    ASSERT_EQ(times.size(), 60u * 50 + 1);  // 50 per second, plus the one at start
    for (size_t k = 0; k < times.size(); ++k) ASSERT_EQ(times[k], kT0 + k * kP) << k;
    for (uint32_t s : clock.sleeps()) ASSERT_EQ(s, kP);
    stopParked(timer, clock);
    EXPECT_FALSE(timer.isRunning());
}

TEST(PeriodicTimer, FiftyMillisecondCallIsFollowedByTwoCallsAtOnceAndATenMillisecondSleep) {
    FakeClock clock(kT0);
    RecordingListener listener(clock, [](size_t k) { return k == 0 ? 50000u : 0u; });
    PeriodicTimer timer(clock);
    clock.arm(kT0 + 60000);
    ASSERT_TRUE(timer.start(&listener, 20));
    clock.waitParked();
    EXPECT_EQ(offsets(listener.times(), kT0), (std::vector<uint64_t>{0, 50000, 50000, 60000}));
    EXPECT_EQ(clock.sleeps(), (std::vector<uint32_t>{10000, 20000}));
    stopParked(timer, clock);
}

TEST(PeriodicTimer, CallEndingExactlyOnTheNextTickIsFollowedByOneCallAndAFullSleep) {
    FakeClock clock(kT0);
    RecordingListener listener(clock, [](size_t k) { return k == 0 ? 20000u : 0u; });
    PeriodicTimer timer(clock);
    clock.arm(kT0 + 40000);
    ASSERT_TRUE(timer.start(&listener, 20));
    clock.waitParked();
    EXPECT_EQ(offsets(listener.times(), kT0), (std::vector<uint64_t>{0, 20000, 40000}));
    EXPECT_EQ(clock.sleeps(), (std::vector<uint32_t>{20000, 20000}));
    stopParked(timer, clock);
}

TEST(PeriodicTimer, CallCountFollowsTheScheduleWhateverTheListenerTakes) {
    // A deterministic mix of prompt, slow and very slow calls (up to 3.3 s).
    auto duration = [](size_t k) -> uint64_t {
        const uint64_t r = (k * 2654435761u) % 1000;
        if (r < 700) return r * 10;        // under 7 ms
        if (r < 990) return r * 70;        // up to ~70 ms
        return 3300000;                    // a long stall
    };
    FakeClock clock(kT0);
    RecordingListener listener(clock, duration);
    PeriodicTimer timer(clock);
    clock.arm(kT0 + 120ull * 1000000);
    ASSERT_TRUE(timer.start(&listener, 20));
    clock.waitParked();
    const auto times = listener.times();
    // Never early: call k comes at or after its scheduled time.
    for (size_t k = 0; k < times.size(); ++k) ASSERT_GE(times[k], kT0 + k * kP) << k;
    // Nothing dropped: the calls made are exactly the ticks scheduled before
    // the one the thread is now sleeping towards.
    const uint64_t nextTick = clock.lastRead() + clock.parkedSleep();
    EXPECT_EQ(times.size(), (nextTick - kT0) / kP);
    EXPECT_EQ((nextTick - kT0) % kP, 0u);
    EXPECT_GT(times.size(), 100u * 50);  // the stalls' own bursts may still be running late
    stopParked(timer, clock);
}

TEST(PeriodicTimer, StopCutsAMakeUpBurstShort) {
    FakeClock clock(kT0);
    PeriodicTimer timer(clock);
    Semaphore inBurst(0);
    std::atomic<int> calls{0};
    struct Listener : TimerListener {
        FakeClock* clock;
        PeriodicTimer* timer;
        Semaphore* inBurst;
        std::atomic<int>* calls;
        void onTimer() override {
            const int k = calls->fetch_add(1);
            if (k == 0) clock->advance(10ull * 1000000);  // 500 ticks missed
            if (k == 5) {
                inBurst->post();
                while (timer->isRunning()) std::this_thread::yield();
            }
        }
    } listener;
    listener.clock = &clock;
    listener.timer = &timer;
    listener.inBurst = &inBurst;
    listener.calls = &calls;
    ASSERT_TRUE(timer.start(&listener, 20));
    inBurst.wait();
    timer.stop();
    EXPECT_EQ(calls.load(), 6);
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST(PeriodicTimer, RestartRunsAFreshScheduleFromTheNewStart) {
    FakeClock clock(kT0);
    RecordingListener listener(clock);
    PeriodicTimer timer(clock);
    clock.arm(kT0 + 40000);
    ASSERT_TRUE(timer.start(&listener, 20));
    clock.waitParked();
    stopParked(timer, clock);
    ASSERT_EQ(listener.times().size(), 3u);

    // Restart at a time that is not on the old grid.
    clock.advance(1234567);
    const uint64_t t1 = clock.peek();
    clock.arm(t1 + 3 * 30000);
    ASSERT_TRUE(timer.start(&listener, 30));
    clock.waitParked();
    const auto times = listener.times();
    ASSERT_EQ(times.size(), 3u + 4u);
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(times[3 + k], t1 + k * 30000) << k;
    stopParked(timer, clock);
}

TEST(PeriodicTimer, StopWithoutStartAndStopTwiceDoNothing) {
    FakeClock clock(kT0);
    PeriodicTimer never(clock);
    never.stop();
    never.stop();
    EXPECT_FALSE(never.isRunning());

    RecordingListener listener(clock);
    PeriodicTimer timer(clock);
    clock.arm(kT0);
    ASSERT_TRUE(timer.start(&listener, 20));
    clock.waitParked();
    stopParked(timer, clock);
    const size_t calls = listener.times().size();
    timer.stop();
    EXPECT_FALSE(timer.isRunning());
    EXPECT_EQ(listener.times().size(), calls);
}

TEST(PeriodicTimer, RefusesBadArgumentsAndASecondStart) {
    FakeClock clock(kT0);
    RecordingListener listener(clock);
    PeriodicTimer timer(clock);
    EXPECT_FALSE(timer.start(&listener, 0));
    EXPECT_FALSE(timer.start(&listener, -20));
    EXPECT_FALSE(timer.start(nullptr, 20));
    EXPECT_FALSE(timer.isRunning());
    clock.arm(kT0 + 20000);
    ASSERT_TRUE(timer.start(&listener, 20));
    EXPECT_FALSE(timer.start(&listener, 20));  // the running thread is kept
    clock.waitParked();
    EXPECT_EQ(listener.times().size(), 2u);
    stopParked(timer, clock);
}

TEST(PeriodicTimer, DestructorStopsTheThread) {
    FakeClock clock(kT0);
    RecordingListener listener(clock);
    auto timer = std::make_unique<PeriodicTimer>(clock);
    clock.arm(kT0 + 100000);
    ASSERT_TRUE(timer->start(&listener, 20));
    clock.waitParked();
    PeriodicTimer* raw = timer.get();
    std::thread releaser([&] {
        while (raw->isRunning()) std::this_thread::yield();
        clock.release();
    });
    // The destructor clears the flag, the releaser wakes the thread, the
    // destructor joins it. (The releaser reads the flag before the object
    // goes: the join cannot finish until the releaser has released.)
    timer.reset();
    releaser.join();
    EXPECT_EQ(listener.times().size(), 6u);
}

// ---------------------------------------------------------------------------
// The real clock.

class RealTimeListener : public TimerListener {
public:
    static constexpr size_t kCapacity = 4096;
    explicit RealTimeListener(size_t signalAt) : signalAt_(signalAt) {}
    void onTimer() override {
        const size_t k = count_.load();
        if (k < kCapacity) times_[k] = monotonicUs();
        count_.store(k + 1);
        if (k + 1 == signalAt_) reached_.post();
    }
    size_t count() const { return count_.load(); }
    uint64_t time(size_t k) const { return times_[k]; }
    Semaphore reached_{0};

private:
    size_t signalAt_;
    std::atomic<size_t> count_{0};
    uint64_t times_[kCapacity]{};
};

TEST(PeriodicTimer, RealClockKeepsFiftyCallsPerSecond) {
    constexpr size_t kCalls = 126;  // 2.5 s of 20 ms ticks after the first
    RealTimeListener listener(kCalls);
    PeriodicTimer timer;
    const uint64_t t0 = monotonicUs();
    ASSERT_TRUE(timer.start(&listener, 20));
    ASSERT_TRUE(listener.reached_.waitFor(60000));
    const uint64_t reachedAt = monotonicUs();
    timer.stop();
    const uint64_t stoppedAt = monotonicUs();
    const size_t calls = listener.count();

    // Never early: call k comes no sooner than k periods after start.
    for (size_t k = 0; k < kCalls; ++k) ASSERT_GE(listener.time(k), t0 + k * kP) << k;
    // Not late by much, and late ticks are made up: the 126th call is due
    // 2.5 s after start; allow a loaded machine a full extra second.
    EXPECT_LE(reachedAt - t0, (kCalls - 1) * kP + 1000000);
    // Over the whole run the count matches elapsed / period: never more
    // than the schedule allows, and at most half a second behind it.
    const uint64_t due = (stoppedAt - t0) / kP + 1;
    EXPECT_LE(calls, due);
    EXPECT_GE(calls + 25, due);
    EXPECT_GE(calls, kCalls);
    const size_t afterStop = listener.count();
    EXPECT_EQ(afterStop, calls);  // joined: no call follows stop()
}

}  // namespace
}  // namespace vexlink
