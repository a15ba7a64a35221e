#pragma once

#include <cstdint>

namespace vexlink {

class CancelSignal;

enum class WaitOutcome { Ready, Expired, Cancelled };

// How long a blocking step of the connect path (name resolution, the TCP
// connect, a handshake read, the Bluetooth search) may wait, and what ends
// it early. The default waits without limit, as the connected streams do.
// A plain value: whoever holds it calls wait() on its own thread.
struct WaitLimits {
    uint64_t deadlineMs = 0;               // monotonicMs() at which to give up; 0: never
    const CancelSignal* cancel = nullptr;  // not owned; null: nothing cancels

    // Limits that end `ms` from now (none for ms <= 0) or on `cancel`.
    static WaitLimits within(int32_t ms, const CancelSignal* cancel);

    bool active() const { return deadlineMs != 0 || cancel != nullptr; }
    bool cancelled() const;

    // Waits until `fd` reports one of `events` (an error or hang-up counts
    // as ready: the caller's next call on it tells), the deadline passes, or
    // the attempt is cancelled; a cancel wins over a descriptor that is
    // ready at the same moment. A negative fd waits for the other two only.
    // Signals that cut the wait short do not end it.
    WaitOutcome wait(int fd, short events) const;
};

}  // namespace vexlink
