#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "PlayedFrame.h"
#include "PlayoutCounters.h"
#include "control/LatencyProbe.h"

namespace vexlink::bench {

class StrategyView;

// The benchmark's latency probe: the first arrival time of each frame, every
// real frame played (index, output sample, time), the strategy's counters as
// they stood at the last real frame (so that the concealment after the voice
// has ended does not count), and the strategy's control state every second.
// Everything is allocated up front for `maxFrames` frame indexes; nothing
// allocates on the client's threads.
//
// Threads: onArrival / onRawArrival on the receive thread, onFramePlayed on
// the thread that plays (the timer thread, or the PipeWire node's data
// thread); waitDrained and the live counts from any thread; the recorded
// data only after both threads have ended (the controller joined them).
class BenchProbe final : public LatencyProbe {
public:
    struct ControlSample {
        uint64_t nowUs = 0;
        double targetMs = 0.0;
        double ratioPpm = 0.0;
    };

    BenchProbe(const StrategyView& view, size_t maxFrames);

    void onArrival(const VoicePacket& packet, uint64_t nowUs) override;
    void onRawArrival(const RawMediaPacket& packet, uint64_t nowUs) override;
    void onWritten(const VoicePacket&, uint64_t) override {}
    void onFramePlayed(uint16_t rawSequence, uint32_t timestamp, uint64_t outputSample, uint64_t nowUs) override;

    uint64_t arrivals() const { return arrivals_.load(); }
    uint64_t playedCount() const { return playedCount_.load(); }
    // The highest frame that arrived has been played, or no real frame was
    // played for `quiet` (what is left was thrown away), or the limit passed.
    bool waitDrained(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) const;

    // After the client's threads have ended.
    const std::vector<uint64_t>& firstArrivalUs() const { return arrivalUs_; }  // 0: never arrived
    std::vector<PlayedFrame> played() const;
    const PlayoutCounters& countersAtLastFrame() const { return lastCounters_; }
    std::vector<ControlSample> controlSamples() const;
    uint64_t outOfRange() const { return outOfRange_ + outOfRangePlayed_; }  // indexes past maxFrames
    uint64_t logFull() const { return logFull_; }        // plays past the log's room

private:
    void arrived(uint16_t rawSequence, uint64_t nowUs);
    void notify();

    const StrategyView& view_;
    std::vector<uint64_t> arrivalUs_;  // receive thread
    uint32_t lastArrival_ = 0;         // receive thread
    uint64_t outOfRange_ = 0;          // receive thread
    uint64_t outOfRangePlayed_ = 0;    // timer thread
    std::unique_ptr<PlayedFrame[]> played_;
    size_t playedRoom_;
    uint32_t lastPlayed_ = 0;          // timer thread
    uint64_t logFull_ = 0;             // timer thread
    PlayoutCounters lastCounters_;     // timer thread
    std::unique_ptr<ControlSample[]> control_;
    size_t controlRoom_;
    size_t controlCount_ = 0;          // timer thread
    uint64_t nextControlUs_ = 0;       // timer thread

    std::atomic<uint64_t> arrivals_{0};
    std::atomic<uint64_t> playedCount_{0};
    std::atomic<int64_t> maxArrived_{-1};
    std::atomic<int64_t> maxPlayed_{-1};
    std::atomic<uint64_t> lastPlayUs_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

}  // namespace vexlink::bench
