#include "control/EventQueue.h"

namespace vexlink {

EventQueue::~EventQueue() {
    // Requests nobody took (the event loop ended first) die with the queue.
    ControllerEvent* event = head_;
    while (event != nullptr) {
        ControllerEvent* next = event->next;
        delete event;
        event = next;
    }
    head_ = tail_ = nullptr;
}

uint64_t EventQueue::post(std::unique_ptr<ControllerEvent> event) {
    if (!event) return 0;
    ControllerEvent* record = event.release();
    record->next = nullptr;
    uint64_t order;
    {
        MutexLock lock(mutex_);
        order = ++posted_;
        record->order = order;
        count_.fetch_add(1);
        if (tail_ != nullptr) {
            tail_->next = record;
        } else {
            head_ = record;
        }
        tail_ = record;
    }
    // Posted after the lock is released: a waiter never wakes into a held lock.
    available_.post();
    return order;
}

std::unique_ptr<ControllerEvent> EventQueue::take() {
    available_.wait();
    return unlinkHead();
}

std::unique_ptr<ControllerEvent> EventQueue::take(int32_t timeoutMs) {
    if (!available_.waitFor(timeoutMs)) return nullptr;
    return unlinkHead();
}

std::unique_ptr<ControllerEvent> EventQueue::unlinkHead() {
    ControllerEvent* record;
    {
        MutexLock lock(mutex_);
        record = head_;
        // Every unit of the semaphore stands for one record, so head_ is set.
        head_ = record->next;
        if (head_ == nullptr) tail_ = nullptr;
        count_.fetch_sub(1);
    }
    record->next = nullptr;
    return std::unique_ptr<ControllerEvent>(record);
}

}  // namespace vexlink
