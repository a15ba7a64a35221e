#include "StarvationMonitor.h"

namespace vexlink::test {

namespace {
constexpr auto kPeriod = std::chrono::milliseconds(10);
// Wake-up latency below this is ordinary scheduling, not starvation.
constexpr int64_t kNoiseUs = 3000;
}  // namespace

StarvationMonitor::StarvationMonitor() : thread_([this] { run(); }) {}

StarvationMonitor::~StarvationMonitor() {
    stop_.store(true);
    thread_.join();
}

void StarvationMonitor::run() {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + kPeriod;
    while (!stop_.load()) {
        std::this_thread::sleep_until(next);
        const auto now = Clock::now();
        const int64_t lateUs = std::chrono::duration_cast<std::chrono::microseconds>(now - next).count();
        if (lateUs > kNoiseUs) {
            starvedUs_.fetch_add(lateUs);
            if (lateUs > longestUs_.load()) longestUs_.store(lateUs);
        }
        next = now + kPeriod;
    }
}

}  // namespace vexlink::test
