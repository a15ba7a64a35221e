#include "playout/ScheduleEstimator.h"

#include <algorithm>
#include <cmath>

namespace vexlink {

namespace {

// The two-sided 95 % quantile of Student's t with `freedom` degrees of
// freedom (exact to two decimals).
double studentT975(int32_t freedom) {
    static constexpr double kTable[] = {12.71, 4.30, 3.18, 2.78, 2.57, 2.45, 2.36, 2.31, 2.26, 2.23};
    if (freedom < 1) return kTable[0];
    if (freedom <= 10) return kTable[freedom - 1];
    return 1.96 + 2.4 / freedom;
}

}  // namespace

ScheduleEstimator::ScheduleEstimator(double nominalUsPerUnit)
    : nominalUsPerUnit_(nominalUsPerUnit), slope_(nominalUsPerUnit) {}

void ScheduleEstimator::reset() {
    anchored_ = false;
    slope_ = nominalUsPerUnit_;
    slopeMargin_ = 0.0;
    intercept_ = 0.0;
    offset_ = 0.0;
    blockHasPoint_ = false;
    historyCount_ = 0;
    historyNext_ = 0;
}

void ScheduleEstimator::add(int64_t x, int64_t tUs) {
    if (!anchored_) {
        anchored_ = true;
        x0_ = x;
        t0_ = static_cast<double>(tUs);
        block_ = 0;
    }
    const Point p{static_cast<double>(x - x0_), static_cast<double>(tUs) - t0_};
    const int64_t block = static_cast<int64_t>(std::floor(p.x / static_cast<double>(kBlock)));
    if (block > block_) {
        closeBlock();
        block_ = block;
    }
    if (block == block_ && (!blockHasPoint_ || p.t - slope_ * p.x < blockMin_.t - slope_ * blockMin_.x)) {
        blockMin_ = p;
        blockHasPoint_ = true;
    }
    offset_ = std::min(offset_, p.t - line(p.x));
}

double ScheduleEstimator::lateness(int64_t x, int64_t tUs) const {
    const double px = static_cast<double>(x - x0_);
    return static_cast<double>(tUs) - t0_ - (line(px) + offset_);
}

double ScheduleEstimator::unitsAt(int64_t tUs) const {
    const double t = static_cast<double>(tUs) - t0_ - intercept_ - offset_;
    return static_cast<double>(x0_) + t / slope_;
}

void ScheduleEstimator::closeBlock() {
    if (!blockHasPoint_) return;
    history_[static_cast<size_t>(historyNext_)] = blockMin_;
    historyNext_ = (historyNext_ + 1) % kHistory;
    historyCount_ = std::min(historyCount_ + 1, kHistory);
    blockHasPoint_ = false;
    refit();
    recomputeOffset();
}

void ScheduleEstimator::refit() {
    if (historyCount_ < kMinBlocks) return;  // nominal slope through the anchor
    double mx = 0.0, mt = 0.0;
    for (int32_t i = 0; i < historyCount_; ++i) {
        mx += history_[static_cast<size_t>(i)].x;
        mt += history_[static_cast<size_t>(i)].t;
    }
    mx /= historyCount_;
    mt /= historyCount_;
    double sxx = 0.0, sxt = 0.0;
    for (int32_t i = 0; i < historyCount_; ++i) {
        const Point& p = history_[static_cast<size_t>(i)];
        sxx += (p.x - mx) * (p.x - mx);
        sxt += (p.x - mx) * (p.t - mt);
    }
    if (sxx <= 0.0) return;
    slope_ = std::clamp(sxt / sxx, nominalUsPerUnit_ / (1.0 + kMaxRateOffset),
                        nominalUsPerUnit_ / (1.0 - kMaxRateOffset));
    intercept_ = mt - slope_ * mx;
    double residuals = 0.0;
    for (int32_t i = 0; i < historyCount_; ++i) {
        const Point& p = history_[static_cast<size_t>(i)];
        const double r = p.t - line(p.x);
        residuals += r * r;
    }
    const int32_t freedom = historyCount_ - 2;
    slopeMargin_ = studentT975(freedom) * std::sqrt(residuals / freedom / sxx);
}

void ScheduleEstimator::recomputeOffset() {
    // The newest closed blocks and the current one (empty right after a close).
    offset_ = 1e300;
    for (int32_t i = 1; i <= std::min(kWindowBlocks, historyCount_); ++i) {
        const Point& p = history_[static_cast<size_t>((historyNext_ - i + kHistory) % kHistory)];
        offset_ = std::min(offset_, p.t - line(p.x));
    }
    if (blockHasPoint_) offset_ = std::min(offset_, blockMin_.t - line(blockMin_.x));
}

}  // namespace vexlink
