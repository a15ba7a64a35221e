#pragma once

#include <cstdint>

#include "media/RawMediaPacket.h"
#include "playout/CodecConcealer.h"
#include "playout/DecisionLogic.h"
#include "playout/DelayManager.h"
#include "playout/FadeConcealer.h"
#include "playout/FractionalResampler.h"
#include "playout/FrameDecoder.h"
#include "playout/FrameHistory.h"
#include "playout/PacketBuffer.h"
#include "playout/PlayoutConfig.h"
#include "playout/PlayoutCounters.h"
#include "playout/PlayoutObserver.h"
#include "playout/PullPhases.h"
#include "playout/RateController.h"
#include "playout/SampleFifo.h"
#include "playout/ScheduleEstimator.h"
#include "playout/SequenceUnwrapper.h"

namespace vexlink {

// A jitter buffer with adaptive delay that hands out any number of samples
// on request.
//
// Packets are kept by extended sequence number and decoded when their turn
// comes, so the decoder sees the stream in order; a duplicate is dropped,
// and so is a packet whose turn has passed (late). Playout runs on media
// time: the position advances with every sample handed out, concealment
// included.
//
// The delay is measured against the expected arrival schedule (the lower
// envelope of arrival time against media time, whose slope is the sender's
// clock), not against what happens to be buffered at a pull: it is smooth,
// so a pull's phase against the arrivals does not make playout flip between
// playing and concealing. The target is the pull's own span plus the slack
// that makes the last packet a pull reads due a jitter allowance (from a
// forgetting histogram of arrival delays) plus a margin before the pull.
// That slack depends on where the recent pulls fell between packets: a
// consumer that pulls a frame at a steady phase plays each packet soon
// after it is due; when the pulls fall everywhere it covers every phase: up
// to a frame more. A steady phase needs the puller's clock to agree with
// the sender's, or a puller that follows the sender's: one that may choose
// when it pulls (the ALSA tick) asks nextPullUs() and pulls then, whatever
// its device played meanwhile, so its pulls keep their phase through drift.
// While the clocks are apart and the pulls do not follow, the target covers
// every phase (a fixed-size puller's phase walks across the packets
// however the delay is held, so a delay that followed it would have to fall
// and rise by a frame at each turn; the ratio would never settle).
// A resampler (ratio within +-0.5 %, copying bit for bit while the ratio is
// 1) holds the delay there against both the sender's and the puller's
// clocks; a large excess is skipped at once, and a large shortfall at the
// phases the pulls are at is made up at once by inserting a concealed
// frame (the rest of the way to a target that covers every phase is made
// by resampling: the phase walks slowly). When the newest packet comes
// far behind its turn (the sender paused) or beyond the window (its
// numbering jumped) and nothing else waits, playout moves to the sender's
// new timeline.
//
// Threads: one thread only, the one that pulls; it also inserts. Nothing is
// allocated after the constructor.
class AdaptivePlayout {
public:
    explicit AdaptivePlayout(const PlayoutConfig& config = PlayoutConfig{});
    AdaptivePlayout(const AdaptivePlayout&) = delete;
    AdaptivePlayout& operator=(const AdaptivePlayout&) = delete;

    // Forgets everything of the previous session; gain codes apply from
    // server version 4 on.
    void startSession(int32_t serverVersion);
    // arrivalUs: CLOCK_MONOTONIC microseconds when the packet was read.
    void insert(const RawMediaPacket& packet, uint64_t arrivalUs);
    // Fills `samples` samples and returns that count, or returns 0 and
    // writes nothing while nothing has been played yet in this session.
    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs);
    // Before playout has begun: how many samples after `nowUs` a pull of
    // `samples` would begin exactly at the target (0 once it would begin at
    // once, or has begun); -1 while no packet has come in this session. A
    // consumer that may choose when it pulls first uses it to begin without
    // leading silence.
    int64_t samplesUntilStart(int32_t samples, uint64_t nowUs) const;
    // After a pull: when the next one keeps the pulls at their phase against
    // the packets: a frame on at the sender's clock. Until the clocks are
    // known apart that is the nominal 20 ms, so the pulls walk with the
    // sender's clock; once they are, the walk is undone, a little at each
    // pull. 0 before playout has begun.
    uint64_t nextPullUs() const { return static_cast<uint64_t>(nextPullUs_); }

    // A pull moved later reads as much more, which its ratio makes up
    // (sooner, less): by this share of the room the ratio has beside the
    // clocks' offset, the rest left to the controller.
    static constexpr double kNudgeShare = 0.8;
    // Following pulls waver by a few samples as the schedule is refined: one
    // this much short of where the allowance runs out still counts as past
    // it (half a histogram bucket, within the margin), rather than needing
    // a frame more.
    static constexpr double kPhaseTolerance = 24.0;

    const PlayoutCounters& counters() const { return counters_; }
    void setObserver(PlayoutObserver* observer) { observer_ = observer; }

private:
    struct Stray {
        int64_t sequence = 0;
        int64_t arrivalUs = 0;
        double latenessUs = 0.0;
        bool behind = false;
        RawMediaPacket packet;
    };
    struct Start {
        int64_t frame;
        int64_t at;  // where its first sample lies on the output timeline
        PlayoutObserver::Frame kind;
        uint32_t timestamp;
    };
    static constexpr int32_t kPendingStarts = 8;

    void feed(int64_t sequence, int64_t arrivalUs, double latenessUs);
    void keepStray(int64_t sequence, const RawMediaPacket& packet, int64_t arrivalUs, double latenessUs, bool behind);
    void dropStray();
    void discardLate(int64_t sequence);
    void resolveStray(int64_t nowUs, double target);
    void restartAt(int64_t position);
    void flush(int64_t samples);
    void observePull(int64_t nowUs);
    double delayAt(int64_t nowUs) const;
    // The schedule's reach at a pull (the end of the packet due last), and
    // the target delay of a pull of `samples` there.
    double reachedAt(int64_t nowUs) const;
    double targetAt(int32_t samples, double reached) const;
    // The delay the pulls need at the phases they have been at (the target
    // while the clocks agree or the pulls follow).
    double neededAt(int32_t samples, double reached) const;
    // The pulls have come when nextPullUs() said, for as long as PullPhases
    // remembers.
    bool pullsFollow() const { return followRun_ >= PullPhases::kPulls; }
    void trackFollowing(int64_t nowUs);
    void onClocksApart(int64_t nowUs);
    void adviseNextPull(int64_t nowUs);
    double allowanceSamples() const;
    void render(int16_t* out, int32_t samples);
    void produceFrame();
    void playPacket(int64_t frame, const RawMediaPacket& packet, int16_t* out);
    void concealFrame(int64_t frame, int16_t* out);
    void reportStarts(double from, double to, int32_t offset, int32_t count);

    const PlayoutConfig config_;
    SequenceUnwrapper unwrapper_;
    PacketBuffer buffer_;
    FrameHistory history_;
    ScheduleEstimator arrivals_;
    ScheduleEstimator pulls_;
    PullPhases phases_;
    DelayManager delays_;
    RateController rate_;
    DecisionLogic decisions_;
    SampleFifo fifo_;
    FractionalResampler resampler_;
    FrameDecoder decoder_;
    FadeConcealer fade_;
    CodecConcealer codec_;
    PlayoutObserver* observer_ = nullptr;
    PlayoutCounters counters_;

    bool gainCodes_ = true;
    bool anchored_ = false;   // a packet has come in this session
    bool started_ = false;    // playout has begun
    int64_t firstFrame_ = 0;  // frames before it are silence, not concealment
    int64_t nextFrame_ = 0;   // the next frame to decode or conceal
    // The playout position lies on the output timeline, which is media time
    // plus the concealment frames inserted to let the delay grow at once.
    int64_t position_ = 0;    // where playout stands (whole samples)
    int64_t inserted_ = 0;    // samples inserted since playout last (re)started
    bool insertDue_ = false;
    int64_t restartFrame_ = 0;   // frames before it were concealed while waiting for it
    int64_t pulled_ = 0;      // samples handed out this session
    int64_t underrunFrom_ = -1;  // first frame of the current run of underruns
    uint8_t lastGain_ = 5;
    bool hasStray_ = false;
    int32_t strayRun_ = 0;
    Stray stray_;
    Start pending_[kPendingStarts] = {};
    // The advice for the next pull (exact, and in whole microseconds), the
    // pulls in a row that came when advised, the walk still to undo and the
    // nudge the last advice made (samples), and since when the pulls came at
    // the nominal rate.
    double nextPullExactUs_ = 0.0;
    int64_t nextPullUs_ = 0;
    int32_t followRun_ = 0;
    double correction_ = 0.0;
    double nudge_ = 0.0;
    int64_t walkFromUs_ = 0;
    bool clocksApart_ = false;  // as of the last pull
    int32_t pendingHead_ = 0;
    int32_t pendingCount_ = 0;
};

}  // namespace vexlink
