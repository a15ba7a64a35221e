#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace vexlink::test {

// Measures how long this process was kept off the CPU while a scenario ran:
// a thread asks to wake every 10 ms and adds up how late it woke. On a
// loaded machine the whole process (the client's threads and the simulator's)
// is now and then held up for hundreds of ms, sometimes seconds; the
// playout then conceals and trims frames that the network never lost. Tests
// widen their figure bounds by what was measured here, so they stay tight on
// a quiet machine and do not flake on a busy one. Measurement only: nothing
// waits on it.
class StarvationMonitor {
public:
    StarvationMonitor();
    ~StarvationMonitor();
    StarvationMonitor(const StarvationMonitor&) = delete;
    StarvationMonitor& operator=(const StarvationMonitor&) = delete;

    // Total lateness so far, and the largest single one.
    double starvedMs() const { return starvedUs_.load() / 1000.0; }
    double longestMs() const { return longestUs_.load() / 1000.0; }
    // Voice frames (20 ms) the starvation can account for.
    int64_t frames() const { return static_cast<int64_t>(starvedUs_.load() / 20000) + 1; }

private:
    void run();

    std::atomic<bool> stop_{false};
    std::atomic<int64_t> starvedUs_{0};
    std::atomic<int64_t> longestUs_{0};
    std::thread thread_;
};

}  // namespace vexlink::test
