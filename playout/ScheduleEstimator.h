#pragma once

#include <array>
#include <cstdint>

namespace vexlink {

// The schedule a stream of events keeps against the local clock, from
// points (x, t): x counts units of the stream (media samples of arriving
// packets, or samples a consumer has taken) and t is when that point was
// seen, in microseconds. Events come on time or late, never early, so the
// schedule is the lower envelope of the points: a line whose slope is the
// stream's clock rate and which lies under the earliest points.
//
// The slope is a least-squares fit through the earliest point of each block
// of kBlock units over the last kHistory blocks (20 s); it stays nominal
// until kMinBlocks blocks have closed. The line's offset is the smallest
// residual over the current block and the last kWindowBlocks closed ones
// (about 2 s), so the envelope follows a rise in the fixed delay within
// that time. Nothing is allocated.
// Threads: one thread only.
class ScheduleEstimator {
public:
    static constexpr int64_t kBlock = 24000;  // 0.5 s of samples
    static constexpr int32_t kHistory = 40;
    static constexpr int32_t kMinBlocks = 3;
    static constexpr int32_t kWindowBlocks = 3;
    static constexpr double kMaxRateOffset = 0.01;  // slopes beyond 1 % are taken as 1 %

    explicit ScheduleEstimator(double nominalUsPerUnit);

    void reset();
    bool empty() const { return !anchored_; }
    void add(int64_t x, int64_t tUs);
    // How long after the schedule a point at x, seen at t, came (negative: early).
    double lateness(int64_t x, int64_t tUs) const;
    // The units the schedule has reached at t (fractional).
    double unitsAt(int64_t tUs) const;
    // Units per microsecond against the nominal rate; 1 until known.
    double rate() const { return nominalUsPerUnit_ / slope_; }
    // How far rate() may be off (relative), 0 until known: the half-width of
    // its 95 % interval from the fit's scatter (Student's t over the blocks'
    // points, so the few blocks of the first seconds are not trusted more
    // than they can be). Under jitter, or on a busy machine, the envelope's
    // points scatter and a short history's slope is far less sure than its
    // value suggests.
    double rateMargin() const { return slopeMargin_ / slope_; }
    // Moves the whole schedule later by dtUs (earlier when negative).
    void shift(double dtUs) { t0_ += dtUs; }

private:
    struct Point {
        double x = 0.0;
        double t = 0.0;
    };
    double line(double x) const { return intercept_ + slope_ * x; }
    void closeBlock();
    void refit();
    void recomputeOffset();

    const double nominalUsPerUnit_;
    bool anchored_ = false;
    int64_t x0_ = 0;
    double t0_ = 0.0;
    double slope_;
    double slopeMargin_ = 0.0;
    double intercept_ = 0.0;
    double offset_ = 0.0;  // the envelope lies at line(x) + offset_

    int64_t block_ = 0;    // index of the current block
    bool blockHasPoint_ = false;
    Point blockMin_;       // earliest point of the current block (against the slope)
    std::array<Point, kHistory> history_{};
    int32_t historyCount_ = 0;
    int32_t historyNext_ = 0;
};

}  // namespace vexlink
