#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "control/LatencyProbe.h"

namespace vexlink {
class MicController;
}

namespace vexlink::test {

// What a fault scenario watches of the voice path, installed as the
// controller's latency probe: frames queued (hands each to the
// FrameTracker), frames written, arrivals out of sequence order, the
// concealment count at the last fresh frame (so the ticks after the voice
// ended do not count as concealment), and counts of frames at or after a
// sender timestamp (e.g. voice after a stall).
//
// Threads: onArrival on the receive thread, onWritten on the timer thread;
// the rest from the test.
class FaultProbe final : public LatencyProbe {
public:
    explicit FaultProbe(const MicController& controller, uint32_t markTimestampMs = UINT32_MAX)
        : controller_(controller), markMs_(markTimestampMs) {}

    void onArrival(const VoicePacket& packet, uint64_t nowUs) override;
    void onWritten(const VoicePacket& packet, uint64_t nowUs) override;

    uint64_t arrivals() const { return arrivals_.load(); }
    uint64_t written() const { return written_.load(); }
    uint64_t outOfOrder() const { return outOfOrder_.load(); }
    uint64_t markedArrivals() const { return markedArrivals_.load(); }
    uint64_t markedWritten() const { return markedWritten_.load(); }
    uint32_t concealedAtLastFresh() const { return concealedAtLastFresh_.load(); }
    uint32_t droppedAtLastFresh() const { return droppedAtLastFresh_.load(); }
    uint64_t firstWrittenUs() const { return firstWrittenUs_.load(); }
    uint64_t lastWrittenUs() const { return lastWrittenUs_.load(); }
    uint64_t lastArrivalUs() const { return lastArrivalUs_.load(); }
    // Largest time from a frame's arrival (read and decoded) to its write.
    uint64_t maxLatencyUs() const { return maxLatencyUs_.load(); }
    // Largest gap between two arrivals, and between two fresh writes.
    uint64_t maxArrivalGapUs() const { return maxArrivalGapUs_.load(); }
    uint64_t maxWriteGapUs() const { return maxWriteGapUs_.load(); }

    // Waits until every frame that arrived was written or thrown away
    // (FrameTracker::discarded), i.e. the playout queue ran empty, or the
    // limit passes.
    bool waitDrained(std::chrono::milliseconds limit) const;
    // Waits until `count` frames arrived.
    bool waitArrivals(uint64_t count, std::chrono::milliseconds limit) const;

private:
    void notify();

    const MicController& controller_;
    const uint32_t markMs_;
    std::atomic<uint64_t> arrivals_{0};
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> outOfOrder_{0};
    std::atomic<uint64_t> markedArrivals_{0};
    std::atomic<uint64_t> markedWritten_{0};
    std::atomic<uint32_t> concealedAtLastFresh_{0};
    std::atomic<uint32_t> droppedAtLastFresh_{0};
    std::atomic<uint64_t> firstWrittenUs_{0};
    std::atomic<uint64_t> lastWrittenUs_{0};
    std::atomic<uint64_t> lastArrivalUs_{0};
    std::atomic<uint64_t> maxLatencyUs_{0};
    std::atomic<uint64_t> maxArrivalGapUs_{0};
    std::atomic<uint64_t> maxWriteGapUs_{0};
    // Receive thread only.
    bool haveSequence_ = false;
    uint16_t highestSequence_ = 0;
    // Arrival times by sequence number, for the latency of written frames.
    std::atomic<uint64_t> arrivalUs_[65536] = {};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

}  // namespace vexlink::test
