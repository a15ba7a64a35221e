#pragma once

#include <atomic>
#include <cstdint>

namespace vexlink {

// Lets a stop request abandon the connection attempt that the event thread
// is busy with. Requests and attempts carry the order number of the event
// that made them (the event queue numbers events as they are posted): a
// request cancels the current attempt only when it was posted after the
// attempt's own request. So a stop posted before a connect request leaves
// that connect alone, and one posted during the attempt ends it.
//
// Every request makes the descriptor readable; a blocking step of the
// attempt polls it next to its own descriptor (see WaitLimits), drains it
// when it wakes and then asks cancelled().
//
// Threads: request() from any thread (an atomic update and one write to
// the eventfd); beginAttempt, endAttempt, cancelled and drain on the thread
// that runs the attempt (the event thread).
class CancelSignal {
public:
    CancelSignal();
    ~CancelSignal();
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    // -1 when no eventfd could be made: waits then end only at their
    // deadline, and cancelled() is still consulted between the steps.
    int fd() const { return fd_; }

    // Cancels the attempt begun by an event numbered below `order`.
    void request(uint64_t order);

    // The attempt of the event numbered `order` starts; wake-ups left over
    // from earlier requests are drained.
    void beginAttempt(uint64_t order);
    // No attempt runs: cancelled() is false until the next beginAttempt.
    void endAttempt();
    bool cancelled() const;
    void drain() const;

private:
    static constexpr uint64_t kNoAttempt = UINT64_MAX;

    int fd_ = -1;
    std::atomic<uint64_t> requestedAt_{0};
    std::atomic<uint64_t> attempt_{kNoAttempt};
};

}  // namespace vexlink
