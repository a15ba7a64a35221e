#pragma once

// The bounds the fault scenarios hold the client to.

namespace vexlink::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Ctrl-C (stop()) ends a run within 2 s; sanitizers slow every thread
// several times.
inline constexpr double kStopLimitMs = kSanitized ? 4000.0 : 2000.0;

}  // namespace vexlink::test
