#include "transport/WaitLimits.h"

#include <poll.h>

#include <cerrno>
#include <climits>

#include "platform/Clock.h"
#include "transport/CancelSignal.h"

namespace vexlink {

WaitLimits WaitLimits::within(int32_t ms, const CancelSignal* cancel) {
    WaitLimits limits;
    limits.deadlineMs = ms > 0 ? monotonicMs() + static_cast<uint64_t>(ms) : 0;
    limits.cancel = cancel;
    return limits;
}

bool WaitLimits::cancelled() const { return cancel != nullptr && cancel->cancelled(); }

WaitOutcome WaitLimits::wait(int fd, short events) const {
    for (;;) {
        if (cancelled()) return WaitOutcome::Cancelled;
        int timeoutMs = -1;
        if (deadlineMs != 0) {
            const uint64_t now = monotonicMs();
            if (now >= deadlineMs) return WaitOutcome::Expired;
            const uint64_t left = deadlineMs - now;
            timeoutMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        pollfd entries[2] = {{fd, events, 0}, {cancel != nullptr ? cancel->fd() : -1, POLLIN, 0}};
        const int ready = ::poll(entries, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return WaitOutcome::Expired;  // the wait itself failed: nothing can be waited for
        }
        if (entries[1].revents != 0) {
            // Drained before the check at the top, which then sees the
            // request that made it readable.
            cancel->drain();
            continue;
        }
        if (entries[0].revents != 0) return WaitOutcome::Ready;
    }
}

}  // namespace vexlink
