#include "control/PlayoutStatusBoard.h"

#include <algorithm>

#include "audio/AudioFormat.h"

namespace vexlink {

namespace {

// Single-writer increment: a relaxed load and store, no locked instruction.
inline void bump(std::atomic<uint32_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

int32_t framePeak(const int16_t* samples) {
    int32_t peak = 0;
    for (int32_t i = 0; i < kFrameSamples; ++i) peak = std::max(peak, samples[i] < 0 ? -samples[i] : +samples[i]);
    return std::min(peak, 32767);  // -32768 counts as full scale
}

}  // namespace

void PlayoutStatusBoard::framePlayed(const int16_t* samples, bool concealed, int32_t delayMs) {
    delayMs = std::clamp(delayMs, 0, 1 << 20);  // keeps the sum of ten far from overflow
    peaks_[next_] = framePeak(samples);
    delaySum_ += delayMs - delays_[next_];
    delays_[next_] = delayMs;
    next_ = (next_ + 1) % kWindowFrames;
    filled_ = std::min(filled_ + 1, kWindowFrames);

    int32_t peak = 0;
    for (int32_t p : peaks_) peak = std::max(peak, p);
    peak_.store(peak, std::memory_order_relaxed);
    delayMs_.store(delaySum_ / filled_, std::memory_order_relaxed);
    if (concealed) bump(concealed_);
    bump(played_);
}

void PlayoutStatusBoard::frameLate() { bump(late_); }

PlayoutStatus PlayoutStatusBoard::snapshot() const {
    PlayoutStatus s;
    s.playedFrames = played_.load(std::memory_order_relaxed);
    s.concealedFrames = concealed_.load(std::memory_order_relaxed);
    s.lateFrames = late_.load(std::memory_order_relaxed);
    s.peakLevel = peak_.load(std::memory_order_relaxed);
    s.delayMs = delayMs_.load(std::memory_order_relaxed);
    return s;
}

}  // namespace vexlink
