#pragma once

#include <atomic>
#include <cstdint>

#include "control/PlayoutStatus.h"

namespace vexlink {

// Where the playout side publishes its PlayoutStatus. One thread writes (the
// one that plays the frames, the timer thread today) with relaxed atomics;
// any thread may take a snapshot at any time without a lock and without
// slowing the writer. The level and the delay cover the last kWindowFrames
// slots (200 ms, or fewer while fewer were played): the loudest sample and
// the mean delay. Allocates nothing.
class PlayoutStatusBoard {
public:
    static constexpr int kWindowFrames = 10;

    // A 20 ms frame (960 samples) went to the devices; `concealed`: it stood
    // in for a frame that had not arrived. `delayMs`: how long a frame that
    // arrives now waits before it is played. Writer thread.
    void framePlayed(const int16_t* samples, bool concealed, int32_t delayMs);
    // A frame arrived after its slot had passed. Writer thread.
    void frameLate();

    // Any thread.
    PlayoutStatus snapshot() const;

private:
    // Writer thread only: the last kWindowFrames slots, oldest at next_.
    int32_t peaks_[kWindowFrames] = {};
    int32_t delays_[kWindowFrames] = {};
    int32_t delaySum_ = 0;
    int next_ = 0;
    int filled_ = 0;  // slots played so far, up to kWindowFrames

    std::atomic<uint32_t> played_{0};
    std::atomic<uint32_t> concealed_{0};
    std::atomic<uint32_t> late_{0};
    std::atomic<int32_t> peak_{0};
    std::atomic<int32_t> delayMs_{0};
};

}  // namespace vexlink
