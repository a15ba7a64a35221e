#include "playout/FractionalResampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "playout/SampleFifo.h"

namespace vexlink {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kKaiserBeta = 8.0;

// Modified Bessel function of the first kind, order 0 (power series).
double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50 && term > 1e-12 * sum; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

}  // namespace

FractionalResampler::FractionalResampler() {
    // Row p holds the taps for a position p/kPhases past the sample at tap
    // kHalfTaps - 1; row kPhases is row 0 moved on by one sample. Each row
    // sums to exactly kUnity, so a constant passes unchanged.
    const double edge = static_cast<double>(kHalfTaps);
    for (int32_t p = 0; p <= kPhases; ++p) {
        const double fraction = static_cast<double>(p) / kPhases;
        double taps[kTaps];
        double sum = 0.0;
        for (int32_t j = 0; j < kTaps; ++j) {
            const double t = (j - (kHalfTaps - 1)) - fraction;
            const double sinc = t == 0.0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
            const double r = t / edge;
            const double window = std::abs(r) >= 1.0 ? 0.0 : besselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / besselI0(kKaiserBeta);
            taps[j] = sinc * window;
            sum += taps[j];
        }
        int32_t total = 0, largest = 0;
        for (int32_t j = 0; j < kTaps; ++j) {
            table_[p][j] = static_cast<int16_t>(std::lrint(taps[j] / sum * kUnity));
            total += table_[p][j];
            if (std::abs(table_[p][j]) > std::abs(table_[p][largest])) largest = j;
        }
        table_[p][largest] = static_cast<int16_t>(table_[p][largest] + kUnity - total);
    }
}

void FractionalResampler::setRatio(double ratio, int landing) {
    ratio_ = ratio;
    landing_ = landing;
    step_ = ratio == 1.0 ? kOne : std::llround(ratio * static_cast<double>(kOne));
}

int64_t FractionalResampler::nextStep() const {
    if (step_ != kOne || phase_ == 0) return step_;
    const auto landing = static_cast<int64_t>(kLandingStep * static_cast<double>(kOne));
    const bool forward = landing_ != 0 ? landing_ > 0 : phase_ >= (uint32_t{1} << 31);
    return forward ? kOne + landing : kOne - landing;
}

int64_t FractionalResampler::inputSpan(int32_t count) const {
    if (count <= 0) return 0;
    const int64_t step = std::max(nextStep(), step_);
    return ((static_cast<int64_t>(phase_) + (count - 1) * step) >> 32) + kHalfTaps + 1;
}

int16_t FractionalResampler::interpolate(const int16_t* x, uint32_t phase) const {
    const int32_t row = static_cast<int32_t>(phase >> 25);  // 7 bits: kPhases
    const float weight = static_cast<float>(phase & 0x1FFFFFFu) * (1.0f / 33554432.0f);
    const int16_t* first = x - (kHalfTaps - 1);
    const int16_t* a = table_[row];
    const int16_t* b = table_[row + 1];
    // Integer sums of 16-bit products (the compiler pairs them up in vector
    // multiply-adds); with taps in Q14 no sum can overflow.
    int32_t sumA = 0, sumB = 0;
    for (int32_t j = 0; j < kTaps; ++j) {
        sumA += a[j] * first[j];
        sumB += b[j] * first[j];
    }
    const float y = (static_cast<float>(sumA) + weight * static_cast<float>(sumB - sumA)) * (1.0f / kUnity);
    const auto rounded = static_cast<int32_t>(y + (y >= 0.0f ? 0.5f : -0.5f));
    return static_cast<int16_t>(std::clamp(rounded, int32_t{-32768}, int32_t{32767}));
}

void FractionalResampler::process(const SampleFifo& in, int64_t& position, int16_t* out, int32_t count) {
    const int16_t* x = in.at(position);
    int32_t i = 0;
    if (step_ != kOne) {  // resampling
        uint32_t phase = phase_;
        int64_t advanced = 0;
        for (; i < count; ++i) {
            out[i] = interpolate(x + advanced, phase);
            const int64_t next = static_cast<int64_t>(phase) + step_;
            advanced += next >> 32;
            phase = static_cast<uint32_t>(next);
        }
        phase_ = phase;
        position += advanced;
        return;
    }
    // Ratio 1: glide to a whole sample and stop on it, then copy.
    const int64_t step = nextStep();
    for (; i < count && phase_ != 0; ++i) {
        out[i] = interpolate(x, phase_);
        int64_t next = static_cast<int64_t>(phase_) + step;
        if (step < kOne && static_cast<int64_t>(phase_) <= kOne - step) next = kOne;
        if (step > kOne && next >= 2 * kOne) next = 2 * kOne;
        position += next >> 32;
        x += next >> 32;
        phase_ = static_cast<uint32_t>(next & 0xFFFFFFFF);
    }
    std::memcpy(out + i, x, sizeof(int16_t) * static_cast<size_t>(count - i));
    position += count - i;
}

}  // namespace vexlink
