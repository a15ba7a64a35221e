#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/AudioFormat.h"
#include "audio/SampleSource.h"
#include "control/PlayoutStatusBoard.h"
#include "playout/PlayoutConfig.h"
#include "playout/PlayoutCounters.h"

namespace vexlink {

class AdaptivePlayout;
class PacketRing;
class PlayoutObserver;
class RingPlayout;

// The adaptive playout as the controller runs it, built once per process:
// the packet ring that the receive thread fills, the playout core, and the
// core's pulling side. One consumer pulls any number of samples at a time:
// the 20 ms tick on the timer thread (ALSA), or the PipeWire node's data
// thread, to which this is the SampleSource. Between connections a pull
// returns 0 (the node then plays silence) and leaves the core alone.
//
// Threads:
// - beginConnection() and endConnection(): the event thread; begin before
//   the connection's receive thread starts, end after it was joined (and,
//   on ALSA, after the timer stopped).
// - ring(): the receive thread pushes into it.
// - pull(), samplesUntilStart(), nextPullUs(): the consumer thread, one
//   call at a time; none blocks or allocates.
// - setObserver(): before anything pulls. figures(), status(): any thread.
class AdaptiveFeed final : public SampleSource {
public:
    // Five seconds of voice: what a network stall releases at once (the
    // receive thread reads such a backlog far faster than the consumer
    // pulls, and the ring must hold it whole, or the newest packets are the
    // ones refused), or what a consumer that stalls for a moment (a loaded
    // machine, a graph that starts late) finds waiting. Past it the ring
    // refuses packets: nobody pulls, and they would be stale anyway.
    static constexpr int32_t kRingSlots = 256;

    explicit AdaptiveFeed(const PlayoutConfig& config);
    ~AdaptiveFeed() override;
    AdaptiveFeed(const AdaptiveFeed&) = delete;
    AdaptiveFeed& operator=(const AdaptiveFeed&) = delete;

    PacketRing& ring() { return *ring_; }
    void setObserver(PlayoutObserver* observer);

    void beginConnection(int32_t serverVersion);
    // Ends pulling for this connection and returns what the connection's
    // playout threw away: packets the full ring refused, and those the core
    // discarded (duplicate, late, skipped to cut the delay, outside its
    // window). Packets still waiting are not counted. `counters` receives
    // the core's figures of the connection (all 0 when nothing pulled).
    uint32_t endConnection(PlayoutCounters* counters = nullptr);

    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs) override;
    int64_t samplesUntilStart(int32_t samples, uint64_t nowUs);
    // After a pull: when the next keeps the pulls' phase against the
    // packets (AdaptivePlayout::nextPullUs), or 0.
    uint64_t nextPullUs() const;

    // The core's figures as of the last pull (of whichever session).
    PlayoutCounters figures() const;
    // What the status line shows, published by the consumer per 20 ms of
    // output, whatever it pulls at a time (counters run on across
    // connections).
    PlayoutStatus status() const { return status_.snapshot(); }

private:
    void publishStatus(const int16_t* out, int32_t samples);

    std::unique_ptr<PacketRing> ring_;
    std::unique_ptr<AdaptivePlayout> playout_;
    std::unique_ptr<RingPlayout> puller_;
    std::atomic<bool> active_{false};
    // Event thread only.
    uint64_t ringDropsBefore_ = 0;
    // Consumer only: the output of the 20 ms slot being filled, and the
    // core's counts already published (they restart with each session).
    PlayoutStatusBoard status_;
    int16_t slot_[kFrameSamples] = {};
    int32_t slotFill_ = 0;
    uint64_t lateSeen_ = 0;
    uint64_t concealedSeen_ = 0;
};

}  // namespace vexlink
