#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "control/LatencyProbe.h"

namespace vexlink::test {

// What a fault scenario watches of the voice path, installed as the
// controller's latency probe: packets read (either playout; the queue's
// frames go to the FrameTracker) and the queue's frames written.
//
// Threads: the arrivals on the receive thread, onWritten on the timer
// thread; the rest from the test.
class FaultProbe final : public LatencyProbe {
public:
    void onArrival(const VoicePacket& packet, uint64_t nowUs) override;
    void onRawArrival(const RawMediaPacket& packet, uint64_t nowUs) override;
    void onWritten(const VoicePacket& packet, uint64_t nowUs) override;

    uint64_t arrivals() const { return arrivals_.load(); }
    uint64_t written() const { return written_.load(); }
    // Waits until `count` packets arrived.
    bool waitArrivals(uint64_t count, std::chrono::milliseconds limit) const;

private:
    void arrived();

    std::atomic<uint64_t> arrivals_{0};
    std::atomic<uint64_t> written_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

}  // namespace vexlink::test
