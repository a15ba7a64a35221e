#include "FaultProbe.h"

#include "FrameTracker.h"
#include "control/MicController.h"
#include "media/VoicePacket.h"

namespace vexlink::test {

void FaultProbe::onArrival(const VoicePacket& packet, uint64_t nowUs) {
    FrameTracker::track(&packet);
    arrivalUs_[packet.rawSequence].store(nowUs, std::memory_order_relaxed);
    // Sequence numbers are 16 bits and wrap: "behind" means less than half
    // the range behind the highest seen.
    if (haveSequence_ && static_cast<int16_t>(packet.rawSequence - highestSequence_) < 0) {
        outOfOrder_.fetch_add(1);
    } else {
        highestSequence_ = packet.rawSequence;
        haveSequence_ = true;
    }
    if (packet.timestamp >= markMs_) markedArrivals_.fetch_add(1);
    const uint64_t previous = lastArrivalUs_.load();
    if (previous != 0 && nowUs - previous > maxArrivalGapUs_.load()) maxArrivalGapUs_.store(nowUs - previous);
    lastArrivalUs_.store(nowUs);
    arrivals_.fetch_add(1);
    notify();
}

void FaultProbe::onWritten(const VoicePacket& packet, uint64_t nowUs) {
    // Called before the tick counts this frame and before it trims, so the
    // counters read here cover the ticks before this one.
    FrameTracker::markWritten(&packet);
    const PlayoutFigures f = controller_.playoutFigures();
    concealedAtLastFresh_.store(f.concealedTicks);
    droppedAtLastFresh_.store(f.droppedFrames);
    const uint64_t arrived = arrivalUs_[packet.rawSequence].load(std::memory_order_relaxed);
    if (arrived != 0 && nowUs >= arrived && nowUs - arrived > maxLatencyUs_.load()) {
        maxLatencyUs_.store(nowUs - arrived);
    }
    if (firstWrittenUs_.load() == 0) firstWrittenUs_.store(nowUs);
    const uint64_t previous = lastWrittenUs_.load();
    if (previous != 0 && nowUs - previous > maxWriteGapUs_.load()) maxWriteGapUs_.store(nowUs - previous);
    lastWrittenUs_.store(nowUs);
    if (packet.timestamp >= markMs_) markedWritten_.fetch_add(1);
    written_.fetch_add(1);
    notify();
}

void FaultProbe::notify() {
    // Taking the lock orders the change before a waiter's check.
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

bool FaultProbe::waitDrained(std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
        return written_.load() + FrameTracker::discarded() >= arrivals_.load();
    });
}

bool FaultProbe::waitArrivals(uint64_t count, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return arrivals_.load() >= count; });
}

}  // namespace vexlink::test
