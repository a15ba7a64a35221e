#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Thread.h"

namespace vexlink {

class TimerListener {
public:
    virtual ~TimerListener() = default;
    // Called once per tick on the timer's own thread.
    virtual void onTimer() = 0;
};

// Time source of the timer thread. The system clock is the default; tests
// substitute a fake whose sleep advances time by hand.
class TimerClock {
public:
    virtual ~TimerClock() = default;
    virtual uint64_t nowUs() = 0;
    virtual void sleepUs(uint32_t us) = 0;
};

TimerClock& systemTimerClock();

// What the timer thread does after a pass: call the listener `extraCalls`
// more times at once, then sleep `sleepUs`. `next` is advanced past every
// tick that has fallen due. Pure, so the catch-up rule is tested exactly.
struct TickPlan {
    uint32_t extraCalls;
    uint32_t sleepUs;
};
TickPlan planNextTick(uint64_t& next, uint64_t nowUs, uint64_t periodUs);

// Calls a listener every period from a thread of its own and keeps to the
// schedule: ticks missed while the listener or the machine was late are made
// up at once in a burst, never dropped.
//
// start() and stop() are called from one controlling thread (never from
// inside onTimer); the listener runs on the timer thread.
class PeriodicTimer {
public:
    explicit PeriodicTimer(TimerClock& clock = systemTimerClock());
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    bool start(TimerListener* listener, int periodMs);
    // Clears the running flag and joins the thread; no call follows its
    // return. Does nothing when not running.
    void stop();
    bool isRunning() const { return running_.load(); }

    // Timer thread, inside onTimer: when the call in progress was due on the
    // schedule (not when the thread woke); each call of a catch-up burst has
    // its own time.
    uint64_t scheduledUs() const { return scheduledUs_; }
    // Timer thread, inside onTimer: the next call comes at `atUs` instead,
    // and the schedule goes on from there every period; catch-up calls still
    // due in this pass are dropped. Never later than two periods after the
    // call in progress was due; a time already past is called at once.
    void moveNextTick(uint64_t atUs);

private:
    static void threadMain(void* self);
    void run();
    void call(uint64_t scheduledUs);

    TimerClock& clock_;
    std::atomic<bool> running_{false};
    ThreadId thread_{};
    TimerListener* listener_ = nullptr;
    int periodMs_ = 0;
    // Timer thread only.
    uint64_t scheduledUs_ = 0;
    bool moved_ = false;
    uint64_t movedToUs_ = 0;
};

}  // namespace vexlink
