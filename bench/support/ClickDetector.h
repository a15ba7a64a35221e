#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexlink::bench {

// Finds clicks in written PCM: places where the waveform jumps far beyond
// what the signal itself does. The measure is the second difference
// x[n] - 2 x[n-1] + x[n-2]: for a low, smooth sound it stays small (a sine of
// amplitude A and f Hz gives at most A (2 pi f / 48000)^2), and codec noise
// adds a little; a break in the waveform (a frame dropped, repeated or
// swapped, a fade step, voice starting out of silence) puts the whole jump
// of the value, or of the slope, into it. Resampling by a fraction of a
// percent only bends the frequency and stays smooth.
//
// Jumps closer together than `mergeSamples` make one click, so a swapped
// frame (three breaks within 40 ms) or a concealment that fades step by step
// counts once.
//
// The threshold suits the benchmark's signal (phonesim's TremoloSignal: a
// 220 Hz voice at 0.35 of full scale under a 4 Hz tremolo down to 10 %).
// Through libopus at 32 kbit/s its second difference stays below about 60,
// and a single frame dropped or repeated anywhere in a minute of it was
// caught at 994 places of 995 (20 ms at 220 Hz is 4.4 periods, so the phase
// jumps by 0.4 of a period). Five frames dropped at once are a whole number
// of periods: only the tremolo's level step shows, caught at about 96 places
// in 100.
class ClickDetector {
public:
    static constexpr double kThreshold = 150.0;
    static constexpr uint32_t kMergeSamples = 2400;  // 50 ms

    explicit ClickDetector(double threshold = kThreshold, uint32_t mergeSamples = kMergeSamples)
        : threshold_(threshold), mergeSamples_(mergeSamples) {}

    // The sample index (into pcm) where each click begins.
    std::vector<size_t> find(const int16_t* pcm, size_t size) const;

private:
    double threshold_;
    uint32_t mergeSamples_;
};

}  // namespace vexlink::bench
