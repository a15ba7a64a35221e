#pragma once

#include <cstdint>

namespace vexlink {

// CLOCK_MONOTONIC in milliseconds / microseconds from an arbitrary fixed point.
uint64_t monotonicMs();
uint64_t monotonicUs();

}  // namespace vexlink
