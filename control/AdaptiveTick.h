#pragma once

#include <cstdint>

#include "audio/AudioFormat.h"
#include "playout/PlayoutObserver.h"

namespace vexlink {

class AdaptiveFeed;
class FrameSink;
class LatencyProbe;

// The step of the adaptive playout on the ALSA output: each tick pulls from
// the playout, as of the tick's scheduled time, what the device has played
// since the connection's first write (so the device is fed exactly at its
// rate) and writes it to the devices; while the playout has nothing yet it
// writes nothing (or silence, when asked to keep a device running).
//
// Phase: a tick at a fixed period would leave the first frame up to a
// tick's length behind its readiness, so the delay would depend on how the
// packets fall between ticks; and against a phone whose clock runs apart
// from this machine's, the packets would walk across the ticks, so the
// delay would have to cover every phase, a frame more. So the tick follows
// the packets instead:
// - Before anything has been written in a connection, a tick that finds the
//   playout about to begin with leading silence writes nothing and asks for
//   the next tick at the moment the playout is ready (once per
//   connection): every phase gets the same short delay. The playout is
//   ready a few milliseconds after the first packet is due, sooner than a
//   tick, so until the first packet has come the tick looks every 5 ms
//   instead of 20 (for the first 200 ms; a later start waits for its tick).
// - Once playing, each tick comes when the playout says the next pull keeps
//   the phase against the packets (a frame on at the phone's clock, within
//   15 to 25 ms); the write carries what the device played meanwhile, 960
//   samples give or take a few, and the playout resamples to it.
//
// Threads: beginConnection() and setLatencyProbe() on the event thread while
// no timer thread exists; tick() on the timer thread. Allocates nothing.
class AdaptiveTick final : private PlayoutObserver {
public:
    // Becomes the feed's observer.
    AdaptiveTick(AdaptiveFeed& feed, FrameSink& sink);
    AdaptiveTick(const AdaptiveTick&) = delete;
    AdaptiveTick& operator=(const AdaptiveTick&) = delete;

    // `fillWhileEmpty`: write silence on a tick that has nothing to play yet.
    void beginConnection(bool fillWhileEmpty);
    void setLatencyProbe(LatencyProbe* probe) { probe_ = probe; }

    // One step, due at `scheduledUs` (monotonic). Returns when the next step
    // should come instead of a period later, or 0 to keep the schedule.
    uint64_t tick(uint64_t scheduledUs);

    // Samples written in this connection (for tests).
    uint64_t outputSamples() const { return outputSamples_; }

    static constexpr uint64_t kMinStepUs = 15000;
    static constexpr uint64_t kMaxStepUs = 25000;

private:
    struct Start {
        uint16_t sequence;
        uint32_t timestamp;
        int32_t offset;
    };
    static constexpr int32_t kMaxStarts = 8;  // a write of 960 samples or so begins two or three frames
    static constexpr uint64_t kPollUs = 5000;
    static constexpr int32_t kMaxPolls = 40;
    // The most a write carries: the longest step's worth and some.
    static constexpr int32_t kMaxWrite = 2 * kFrameSamples;

    void onFrameStart(int64_t sequence, Frame frame, int32_t offset, uint32_t timestamp) override;

    AdaptiveFeed& feed_;
    FrameSink& sink_;
    LatencyProbe* probe_ = nullptr;
    bool fillWhileEmpty_ = false;
    bool written_ = false;   // something went to the devices in this connection
    bool rephased_ = false;  // the schedule was moved in this connection
    int32_t polls_ = 0;      // early looks for the first packet in this connection
    uint64_t firstWriteUs_ = 0;  // scheduled time of the connection's first write
    uint64_t outputSamples_ = 0;
    int16_t block_[kMaxWrite] = {};
    Start starts_[kMaxStarts] = {};
    int32_t startCount_ = 0;
};

}  // namespace vexlink
