#include "control/PlayoutQueue.h"

namespace vexlink {

PlayoutQueue::~PlayoutQueue() { clear(); }

void PlayoutQueue::clear() {
    VoicePacket* packet;
    {
        MutexLock lock(mutex_);
        packet = head_;
        head_ = tail_ = nullptr;
        count_.store(0);
    }
    // Deleted outside the lock; the list is private to this call now.
    while (packet != nullptr) {
        VoicePacket* next = packet->next;
        delete packet;
        packet = next;
    }
}

void PlayoutQueue::pushBack(std::unique_ptr<VoicePacket> packet) {
    if (!packet) return;
    VoicePacket* record = packet.release();
    record->next = nullptr;
    MutexLock lock(mutex_);
    if (tail_ != nullptr) {
        tail_->next = record;
    } else {
        head_ = record;
    }
    tail_ = record;
    count_.fetch_add(1);
}

std::unique_ptr<VoicePacket> PlayoutQueue::popFront() {
    VoicePacket* record;
    {
        MutexLock lock(mutex_);
        if (count_.load() == 0) return nullptr;
        record = head_;
        head_ = record->next;
        if (head_ == nullptr) tail_ = nullptr;
        count_.fetch_sub(1);
    }
    record->next = nullptr;
    return std::unique_ptr<VoicePacket>(record);
}

}  // namespace vexlink
