#pragma once

#include <cstdint>

namespace vexlink {

// Sample widened to 32 bits, shifted left by `shift` (1..4) and clamped to
// the 16-bit range.
int16_t saturatingShiftLeft(int16_t sample, int shift);

// Applies a version-4 media gain code in place: 0 mutes, 1..4 shift right
// (arithmetic, floor) by 4..1, 5 and 10+ leave the block alone, 6..9 shift
// left by 1..4 with saturation. A count of 0 or less does nothing.
void applyGainCode(int16_t* samples, int32_t count, unsigned gainCode);

// out[i] = trunc(double(in[i]) * gain); in and out may be the same block.
void scalePcm(const int16_t* in, int16_t* out, int32_t count, double gain);

}  // namespace vexlink
