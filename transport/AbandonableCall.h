#pragma once

#include <cstdint>
#include <functional>

#include "transport/WaitLimits.h"

namespace vexlink {

// Runs one blocking call that cannot be interrupted (name resolution, the
// Bluetooth service search and RFCOMM connect) on a helper thread, so that
// its caller can give up at a deadline or on cancel without waiting for it.
// The helper and the caller share one record; whichever of them is last
// frees it. A result that arrives after the caller gave up is handed to
// `discard` on the helper thread (to close a descriptor, say), so nothing
// is left behind.
//
// Threads: run() on the caller's thread; `work`, and `discard` for an
// abandoned call, on the helper thread, which is detached and ends by
// itself once `work` returns.
class AbandonableCall {
public:
    using Work = std::function<int()>;
    using Discard = std::function<void(int result)>;

    // Ready with *result set once `work` has returned within the limits;
    // otherwise Expired or Cancelled, with *result -1 and the helper left to
    // finish alone. A helper that cannot be started counts as Expired.
    static WaitOutcome run(Work work, Discard discard, const WaitLimits& limits, int* result);

    // Helper threads that have not ended yet, abandoned ones included.
    static int32_t running();
};

}  // namespace vexlink
