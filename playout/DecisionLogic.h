#pragma once

#include <cstdint>

#include "playout/PlayoutConfig.h"

namespace vexlink {

// The playout's decisions that are not per sample, as plain functions of
// the measured figures. Delays are in samples of media and measure how far
// the playout position lies behind the point the expected arrival schedule
// has reached (the end of the packet due last).
// Threads: any; it keeps no state.
class DecisionLogic {
public:
    // A packet that comes after its turn or beyond the window, while nothing
    // else waits, is kept this long before anything is made of it: the rest
    // of a backlog comes within it.
    static constexpr int64_t kStraySettleUs = 5000;
    // Playout moves to the sender's new timeline when such a packet is this
    // late, or when this many newest packets in a row came too late.
    static constexpr double kReanchorLatenessUs = 200000.0;
    static constexpr int32_t kReanchorRun = 5;
    // A packet later than the allowance by more than this is backlog.
    static constexpr double kBacklogUs = 100000.0;
    // A shortfall this large is made up by inserting a concealed frame
    // rather than by playing slower.
    static constexpr double kInsertShortfallUs = 10000.0;

    enum class Stray { Wait, Discard, Reanchor };

    explicit DecisionLogic(const PlayoutConfig& config) : config_(config) {}

    // How long before a pull the last packet it reads must have been due:
    // the jitter allowance and the margin, in samples.
    double allowanceSamples(int32_t allowanceUs) const;
    // The delay to hold for pulls of `pullSamples`: the pull (read at the
    // fastest ratio), the resampler's look-ahead, the next frame too when waiting for
    // redundancy, and the slack behind the schedule that the pulls' phases
    // against the packets need (PullPhases). At that delay the packet a
    // pull needs last was due at least allowance + margin before the pull.
    double target(int32_t pullSamples, double slackSamples) const;
    // Codec concealment holding a frame more, for the next packet's FEC.
    bool waitsForRedundancy() const {
        return config_.concealment == Concealment::Codec && config_.waitForRedundancy;
    }
    // Playout is about to begin: how many samples of the pull come before
    // the first frame so that playout begins exactly at the target; -1 when
    // the whole pull would come before it (write nothing yet).
    int32_t startOffset(double delay, double target, int32_t pullSamples) const;
    // Media samples to skip at once when the excess is too large to play
    // out faster; 0 otherwise. Skipping lands in the middle of the
    // controller's band.
    int64_t flushSamples(double delay, double target) const;
    bool insertFrame(double delay, double target) const;
    // A packet kept because it came after its turn (behind) or beyond the
    // window while it was the newest: wait, discard it, or move playout to it.
    Stray stray(bool othersWaiting, bool behind, int64_t sinceArrivalUs, double latenessUs, int32_t newestRun) const;
    // Whether a packet's delay may feed the jitter estimate: packets that came
    // after their turn count only while they are not backlog.
    bool feedsDelay(bool behind, double latenessUs, int32_t allowanceUs) const;

private:
    PlayoutConfig config_;
};

}  // namespace vexlink
