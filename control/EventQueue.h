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
};

// Unbounded FIFO of requests. post() from any thread never blocks (the lock
// covers only the list update); take() on the event thread waits on the
// semaphore. Events still queued at destruction are deleted.
class EventQueue {
public:
    EventQueue() = default;
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    void post(std::unique_ptr<ControllerEvent> event);
    std::unique_ptr<ControllerEvent> take();
    int32_t count() const { return count_.load(); }

private:
    ControllerEvent* head_ = nullptr;
    ControllerEvent* tail_ = nullptr;
    Mutex mutex_;
    Semaphore available_{0};
    std::atomic<int32_t> count_{0};
};

}  // namespace vexlink
