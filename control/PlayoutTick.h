#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/AudioFormat.h"
#include "control/PlayoutStatusBoard.h"
#include "media/VoicePacket.h"

namespace vexlink {

class FrameSink;
class LatencyProbe;
class PlayoutQueue;
class ReceptionStats;

// Counters of the playout side for tests and benchmarks. Written only by the
// timer thread (relaxed atomics, so another thread may sample them at any
// time without a lock and without slowing the tick).
struct PlayoutFigures {
    uint32_t freshFrames = 0;     // ticks that played a queued frame
    uint32_t concealedTicks = 0;  // ticks that repeated/faded the last frame
    uint32_t droppedFrames = 0;   // queued frames discarded to shorten the delay
    int32_t maxQueueDepth = 0;    // largest queue length seen at a tick
};

// The 20 ms playout step. Each tick takes one frame from the queue and plays
// it; when the queue is empty it repeats the last frame, the first time at
// full level, then at 15/16 down to 1/16, then as silence. After six fresh
// ticks in a row, a tick that still finds more than bufferSize frames
// waiting once it has taken its own discards one more (with bufferSize 0:
// any frame still waiting), and the run starts again.
//
// Threads: tick() runs on the timer thread only. releaseLastFrame() and the
// setters run on the event thread while no timer thread exists; figures()
// and status() on any thread. Allocates nothing.
class PlayoutTick {
public:
    static constexpr int32_t kFadeSteps = 16;
    static constexpr uint32_t kFreshRunBeforeTrim = 5;

    PlayoutTick(PlayoutQueue& queue, FrameSink& sink, ReceptionStats& stats);
    ~PlayoutTick();
    PlayoutTick(const PlayoutTick&) = delete;
    PlayoutTick& operator=(const PlayoutTick&) = delete;

    // Releases the last played frame, so nothing is repeated until the next
    // fresh one, and starts the probe's count of output samples again. The
    // controller calls it as a connection's voice flow is prepared and after
    // that flow has ended; the run of fresh frames is kept.
    void releaseLastFrame();

    void tick();

    // Installed before the connection starts; null switches it off.
    void setLatencyProbe(LatencyProbe* probe) { probe_ = probe; }
    // Write silence on a tick that has nothing yet to play or repeat, rather
    // than nothing at all: a later connection of a reconnecting run keeps the
    // device running from its first tick. Set on the event thread while no
    // timer thread exists.
    void setFillWhileEmpty(bool on) { fillWhileEmpty_ = on; }
    bool fillWhileEmpty() const { return fillWhileEmpty_; }

    PlayoutFigures figures() const;
    // The figures of the status line (any thread, any time).
    PlayoutStatus status() const { return status_.snapshot(); }

private:
    void playFresh(std::unique_ptr<VoicePacket> packet);
    void playRepeat();
    // How long a frame that arrives now waits: the frames queued before it,
    // plus half a tick on average until the next tick takes one.
    int32_t waitMs() const;

    PlayoutQueue& queue_;
    FrameSink& sink_;
    ReceptionStats& stats_;
    LatencyProbe* probe_ = nullptr;
    bool fillWhileEmpty_ = false;

    std::unique_ptr<VoicePacket> lastPlayed_;
    int32_t repeatCount_ = 0;
    // Samples written to the sink since releaseLastFrame(), for the probe.
    uint64_t outputSamples_ = 0;
    // Fresh frames in a row since the last discard or repetition. Kept across
    // connections on purpose: only the tick's own history resets it.
    uint32_t freshRun_ = 0;
    int16_t repeatFrame_[kFrameSamples] = {};

    std::atomic<uint32_t> freshFrames_{0};
    std::atomic<uint32_t> concealedTicks_{0};
    std::atomic<uint32_t> droppedFrames_{0};
    std::atomic<int32_t> maxQueueDepth_{0};
    PlayoutStatusBoard status_;
};

}  // namespace vexlink
