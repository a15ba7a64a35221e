#include "FaultProbe.h"

#include "FrameTracker.h"

namespace vexlink::test {

void FaultProbe::onArrival(const VoicePacket& packet, uint64_t) {
    FrameTracker::track(&packet);
    arrived();
}

void FaultProbe::onRawArrival(const RawMediaPacket&, uint64_t) { arrived(); }

void FaultProbe::onWritten(const VoicePacket& packet, uint64_t) {
    FrameTracker::markWritten(&packet);
    written_.fetch_add(1);
}

void FaultProbe::arrived() {
    arrivals_.fetch_add(1);
    // Taking the lock orders the change before a waiter's check.
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

bool FaultProbe::waitArrivals(uint64_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return arrivals_.load() >= count; });
}

}  // namespace vexlink::test
