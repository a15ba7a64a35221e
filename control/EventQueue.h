#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Mutex.h"
#include "platform/Semaphore.h"

namespace vexlink {

enum ControllerEventCode : int32_t {
    kEventQuit = 0,
    kEventConnect = 1,
    kEventDisconnect = 2,
    kEventSendKeepAlive = 4,
    kEventDisconnectOnError = 7,
    // Posted by the event thread to itself when the wait before another
    // attempt (--reconnect) is over.
    kEventReconnect = 8,
};

// One request for the event thread; owned by the queue until taken.
struct ControllerEvent {
    int32_t code = 0;
    int32_t result = 0;
    void* payload = nullptr;
    ControllerEvent* next = nullptr;
    // The connection a request from the timer or receive thread belongs to
    // (0: not tied to one). Lets the controller ignore a late request of an
    // ended connection instead of applying it to the next one.
    uint32_t connectionId = 0;
    // Place in the order of all posted events (from 1), set by post().
    uint64_t order = 0;
};

// Unbounded FIFO of requests. post() from any thread never blocks (the lock
// covers only the numbering and the list update); take() on the event thread
// waits on the semaphore (take(timeoutMs) at most that long). Events still
// queued at destruction are deleted.
class EventQueue {
public:
    EventQueue() = default;
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Numbers the event in the order of posting and appends it; returns its
    // number (0 for a null event).
    uint64_t post(std::unique_ptr<ControllerEvent> event);
    std::unique_ptr<ControllerEvent> take();
    // As take(), but null when nothing was posted within `timeoutMs`.
    std::unique_ptr<ControllerEvent> take(int32_t timeoutMs);
    int32_t count() const { return count_.load(); }

private:
    // Called after a unit of the semaphore was taken.
    std::unique_ptr<ControllerEvent> unlinkHead();

    ControllerEvent* head_ = nullptr;
    ControllerEvent* tail_ = nullptr;
    Mutex mutex_;
    Semaphore available_{0};
    std::atomic<int32_t> count_{0};
    uint64_t posted_ = 0;  // under mutex_
};

}  // namespace vexlink
