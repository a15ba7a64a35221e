#pragma once

#include <array>
#include <cstdint>

namespace vexlink {

// A histogram of delays that forgets: each add() first scales every bucket
// by the forget factor and then gives the new value the mass that freed, so
// the buckets always sum to 1 and old observations fade geometrically. Right
// after reset() the factor starts at 0 and grows towards its steady value as
// 1 - startWeight / (adds + 1), so the first observations are weighed
// equally instead of against a made-up prior.
// Threads: one thread only.
class DelayHistogram {
public:
    static constexpr int32_t kBuckets = 512;

    DelayHistogram(double forgetFactor, double startWeight);

    void reset();
    // bucket is clamped to 0..kBuckets-1.
    void add(int32_t bucket);
    // Moves every observation `buckets` lower (those below into bucket 0).
    void shiftDown(int32_t buckets);
    // The smallest bucket at which the cumulative mass reaches `probability`.
    int32_t quantile(double probability) const;
    int64_t adds() const { return adds_; }

private:
    std::array<double, kBuckets> mass_{};
    double steadyFactor_;
    double startWeight_;
    double factor_ = 0.0;
    int64_t adds_ = 0;
};

}  // namespace vexlink
