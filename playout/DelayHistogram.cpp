#include "playout/DelayHistogram.h"

#include <algorithm>

namespace vexlink {

DelayHistogram::DelayHistogram(double forgetFactor, double startWeight)
    : steadyFactor_(forgetFactor), startWeight_(startWeight) {
    reset();
}

void DelayHistogram::reset() {
    mass_.fill(0.0);
    mass_[0] = 1.0;
    factor_ = 0.0;
    adds_ = 0;
}

void DelayHistogram::add(int32_t bucket) {
    bucket = std::clamp(bucket, int32_t{0}, kBuckets - 1);
    for (double& m : mass_) m *= factor_;
    mass_[static_cast<size_t>(bucket)] += 1.0 - factor_;
    ++adds_;
    const double ramp = 1.0 - startWeight_ / static_cast<double>(adds_ + 1);
    factor_ = std::clamp(ramp, 0.0, steadyFactor_);
}

void DelayHistogram::shiftDown(int32_t buckets) {
    const auto k = static_cast<size_t>(std::clamp(buckets, int32_t{0}, kBuckets - 1));
    if (k == 0) return;
    for (size_t b = 1; b < k; ++b) {
        mass_[0] += mass_[b];
        mass_[b] = 0.0;
    }
    for (size_t b = k; b < mass_.size(); ++b) {
        mass_[b - k] += mass_[b];
        mass_[b] = 0.0;
    }
}

int32_t DelayHistogram::quantile(double probability) const {
    double cumulative = 0.0;
    // A hair below the asked probability, so rounding in the sums never
    // pushes the answer one bucket up.
    const double wanted = probability - 1e-9;
    for (int32_t i = 0; i < kBuckets; ++i) {
        cumulative += mass_[static_cast<size_t>(i)];
        if (cumulative >= wanted) return i;
    }
    return kBuckets - 1;
}

}  // namespace vexlink
