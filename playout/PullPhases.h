#pragma once

#include <array>
#include <cstdint>

namespace vexlink {

// Where the recent pulls fell between packets: for each pull, how far the
// expected arrival schedule had run past the end of the last whole packet
// (0 .. 959 samples). A consumer that pulls a frame's worth at a steady
// phase against the packets (the 20 ms tick, clocks alike) keeps one phase;
// one that pulls other sizes, or runs on a drifting clock, walks through
// them all. Fixed size, nothing allocated.
// Threads: one thread only.
class PullPhases {
public:
    static constexpr int32_t kPulls = 50;  // a second of 20 ms pulls

    void reset() { count_ = next_ = 0; }
    bool empty() const { return count_ == 0; }
    // `reached`: the media sample the schedule has reached at the pull.
    void add(double reached);
    // The slack the pull needs behind the schedule so that the last packet
    // it reads was due at least `allowance` samples before it, at the worst
    // of the recorded phases and `reached` (whose phase is not recorded).
    // With a tolerance, a pull up to that much short of the allowance still
    // reads the packet: pulls whose phase wavers by a few samples around the
    // point where the allowance runs out then do not need a frame more at
    // every other pull.
    double worstSlack(double reached, double allowance, double tolerance = 0.0) const;
    // Whatever the phase: allowance plus all but one sample of a packet.
    static double anySlack(double allowance);
    // Where `reached` lies within its packet: 0 .. 959.
    static double phaseOf(double reached);

private:
    static double slack(double phase, double allowance);

    std::array<double, kPulls> phases_{};
    int32_t count_ = 0;
    int32_t next_ = 0;
};

}  // namespace vexlink
