#include "audio/PcmLevel.h"

#include <cmath>

namespace vexlink {

int16_t saturatingShiftLeft(int16_t sample, int shift) {
    const int32_t wide = static_cast<int32_t>(sample) * (int32_t{1} << shift);
    if (wide > 32767) return 32767;
    if (wide < -32768) return -32768;
    return static_cast<int16_t>(wide);
}

namespace {

void shiftRight(int16_t* samples, int32_t count, int shift) {
    // >> on a negative value is an arithmetic shift (floor division).
    for (int32_t i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(samples[i] >> shift);
}

void shiftLeft(int16_t* samples, int32_t count, int shift) {
    for (int32_t i = 0; i < count; ++i) samples[i] = saturatingShiftLeft(samples[i], shift);
}

}  // namespace

void applyGainCode(int16_t* samples, int32_t count, unsigned gainCode) {
    if (samples == nullptr || count <= 0) return;
    switch (gainCode) {
        case 0:
            for (int32_t i = 0; i < count; ++i) samples[i] = 0;
            break;
        case 1:
        case 2:
        case 3:
        case 4:
            shiftRight(samples, count, 5 - static_cast<int>(gainCode));
            break;
        case 6:
        case 7:
        case 8:
        case 9:
            shiftLeft(samples, count, static_cast<int>(gainCode) - 5);
            break;
        default:  // 5 is unity; 10 and above carry no meaning and change nothing
            break;
    }
}

void scalePcm(const int16_t* in, int16_t* out, int32_t count, double gain) {
    if (in == nullptr || out == nullptr || count <= 0) return;
    for (int32_t i = 0; i < count; ++i) {
        double v = std::trunc(static_cast<double>(in[i]) * gain);
        // Callers fade with gains in [0, 1], which always fit; clamp anyway
        // so that no gain can make the conversion undefined.
        if (!(v >= -32768.0)) v = std::isnan(v) ? 0.0 : -32768.0;
        if (v > 32767.0) v = 32767.0;
        out[i] = static_cast<int16_t>(v);
    }
}

}  // namespace vexlink
