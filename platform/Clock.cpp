#include "platform/Clock.h"

#include <ctime>

namespace vexlink {

namespace {

timespec monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

}  // namespace

uint64_t monotonicMs() {
    const timespec ts = monotonicNow();
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t monotonicUs() {
    const timespec ts = monotonicNow();
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // namespace vexlink
