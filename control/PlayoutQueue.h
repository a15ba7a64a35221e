#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "media/VoicePacket.h"
#include "platform/Mutex.h"

namespace vexlink {

// Decoded frames waiting for playout: the receive thread pushes, the timer
// thread pops. The lock covers a few pointer updates; size() reads the
// atomic count without it. Records left inside are deleted by clear() and
// by the destructor.
class PlayoutQueue {
public:
    PlayoutQueue() = default;
    ~PlayoutQueue();
    PlayoutQueue(const PlayoutQueue&) = delete;
    PlayoutQueue& operator=(const PlayoutQueue&) = delete;

    void clear();
    void pushBack(std::unique_ptr<VoicePacket> packet);
    // Pushes; if the queue already holds `limit` records (limit >= 1), the
    // oldest is unlinked in the same locked step and returned for the caller
    // to delete outside the lock, so no reader ever sees more than `limit`.
    std::unique_ptr<VoicePacket> pushBackBounded(std::unique_ptr<VoicePacket> packet, int32_t limit);
    std::unique_ptr<VoicePacket> popFront();
    int32_t size() const { return count_.load(); }

private:
    // Both with mutex_ held; unlinkHeadLocked() needs a non-empty queue.
    void linkLocked(VoicePacket* record);
    VoicePacket* unlinkHeadLocked();

    VoicePacket* head_ = nullptr;
    VoicePacket* tail_ = nullptr;
    std::atomic<int32_t> count_{0};
    Mutex mutex_;
};

}  // namespace vexlink
