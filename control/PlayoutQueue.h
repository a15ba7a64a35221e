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
    std::unique_ptr<VoicePacket> popFront();
    int32_t size() const { return count_.load(); }

private:
    VoicePacket* head_ = nullptr;
    VoicePacket* tail_ = nullptr;
    std::atomic<int32_t> count_{0};
    Mutex mutex_;
};

}  // namespace vexlink
