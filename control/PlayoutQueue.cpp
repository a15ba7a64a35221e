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
    MutexLock lock(mutex_);
    linkLocked(packet.release());
}

std::unique_ptr<VoicePacket> PlayoutQueue::pushBackBounded(std::unique_ptr<VoicePacket> packet, int32_t limit) {
    if (!packet) return nullptr;
    VoicePacket* oldest = nullptr;
    {
        // The oldest goes first: size() reads the count without the lock and
        // must never see the queue one past its limit, not even briefly.
        MutexLock lock(mutex_);
        if (count_.load() >= limit && head_ != nullptr) oldest = unlinkHeadLocked();
        linkLocked(packet.release());
    }
    if (oldest != nullptr) oldest->next = nullptr;
    return std::unique_ptr<VoicePacket>(oldest);
}

void PlayoutQueue::linkLocked(VoicePacket* record) {
    record->next = nullptr;
    if (tail_ != nullptr) {
        tail_->next = record;
    } else {
        head_ = record;
    }
    tail_ = record;
    count_.fetch_add(1);
}

VoicePacket* PlayoutQueue::unlinkHeadLocked() {
    VoicePacket* record = head_;
    head_ = record->next;
    if (head_ == nullptr) tail_ = nullptr;
    count_.fetch_sub(1);
    return record;
}

std::unique_ptr<VoicePacket> PlayoutQueue::popFront() {
    VoicePacket* record;
    {
        MutexLock lock(mutex_);
        if (count_.load() == 0) return nullptr;
        record = unlinkHeadLocked();
    }
    record->next = nullptr;
    return std::unique_ptr<VoicePacket>(record);
}

}  // namespace vexlink
