#include "platform/PeriodicTimer.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>

#include "platform/Clock.h"

namespace vexlink {

namespace {

class SystemTimerClock final : public TimerClock {
public:
    uint64_t nowUs() override { return monotonicUs(); }

    void sleepUs(uint32_t us) override {
        // Sleep to an absolute monotonic deadline: a signal handler that runs
        // on this thread must not cut the sleep short and bring a tick early.
        timespec deadline{};
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(us / 1000000u);
        deadline.tv_nsec += static_cast<long>(us % 1000000u) * 1000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
    }
};

// Largest period whose microsecond count still fits the 32-bit sleep.
constexpr int kMaxPeriodMs = static_cast<int>(std::numeric_limits<uint32_t>::max() / 1000u);

}  // namespace

TimerClock& systemTimerClock() {
    // Never destroyed: a timer thread may still be using it while the process
    // runs its static destructors.
    static SystemTimerClock* const clock = new SystemTimerClock;
    return *clock;
}

TickPlan planNextTick(uint64_t& next, uint64_t nowUs, uint64_t periodUs) {
    next += periodUs;
    // Signed 64-bit difference: even a stall of hours cannot wrap around into
    // a long sleep.
    const int64_t d = static_cast<int64_t>(next - nowUs);
    if (d <= 0) {
        // Late by `late` (0: exactly on the following tick): every tick up to
        // and including the one now due is made up at once.
        const uint64_t late = static_cast<uint64_t>(-d);
        uint64_t calls = late / periodUs + 1;
        if (calls > std::numeric_limits<uint32_t>::max()) calls = std::numeric_limits<uint32_t>::max();
        next += calls * periodUs;
        const uint64_t left = calls * periodUs > late ? calls * periodUs - late : 0;
        return {static_cast<uint32_t>(calls), static_cast<uint32_t>(left < periodUs ? left : periodUs)};
    }
    // On time. More than a period ahead is only possible with a clock that
    // went backwards; never sleep longer than one period.
    const uint64_t ahead = static_cast<uint64_t>(d);
    return {0, static_cast<uint32_t>(ahead < periodUs ? ahead : periodUs)};
}

PeriodicTimer::PeriodicTimer(TimerClock& clock) : clock_(clock) {}

PeriodicTimer::~PeriodicTimer() { stop(); }

bool PeriodicTimer::start(TimerListener* listener, int periodMs) {
    // A second start would lose the running thread; a period of 0 would make
    // the catch-up arithmetic divide by zero.
    if (running_.load() || listener == nullptr || periodMs <= 0 || periodMs > kMaxPeriodMs) return false;
    listener_ = listener;
    periodMs_ = periodMs;
    running_.store(true);
    // Joinable, default scheduling: the priority is not raised.
    if (!createThread(&PeriodicTimer::threadMain, this, &thread_)) {
        running_.store(false);
        return false;
    }
    return true;
}

void PeriodicTimer::stop() {
    if (!running_.exchange(false)) return;
    if (isCurrentThread(thread_)) {
        // Called from inside onTimer: joining ourselves would deadlock. The
        // thread ends after this pass and cleans up after itself.
        detachThread(thread_);
        return;
    }
    joinThread(thread_);
}

void PeriodicTimer::threadMain(void* self) { static_cast<PeriodicTimer*>(self)->run(); }

void PeriodicTimer::moveNextTick(uint64_t atUs) {
    const uint64_t latest = scheduledUs_ + 2 * static_cast<uint64_t>(periodMs_) * 1000u;
    movedToUs_ = atUs < latest ? atUs : latest;
    moved_ = true;
}

void PeriodicTimer::call(uint64_t scheduledUs) {
    scheduledUs_ = scheduledUs;
    listener_->onTimer();
}

void PeriodicTimer::run() {
    const uint64_t periodUs = static_cast<uint64_t>(periodMs_) * 1000u;
    uint64_t next = clock_.nowUs();
    moved_ = false;
    while (running_.load()) {
        call(next);
        TickPlan plan{0, 0};
        if (!moved_) {
            uint64_t due = next;
            plan = planNextTick(next, clock_.nowUs(), periodUs);
            // The burst is cut short by stop(), so stop never waits for a long
            // run of make-up calls.
            for (uint32_t i = 0; i < plan.extraCalls && running_.load() && !moved_; ++i) call(due += periodUs);
        }
        if (!running_.load()) break;
        if (moved_) {
            moved_ = false;
            next = movedToUs_;
            const uint64_t now = clock_.nowUs();
            plan.sleepUs = next > now ? static_cast<uint32_t>(next - now) : 0;
        }
        if (plan.sleepUs > 0) clock_.sleepUs(plan.sleepUs);
    }
}

}  // namespace vexlink
