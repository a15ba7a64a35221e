#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "audio/PcmLevel.h"

namespace vexlink {
namespace {

std::vector<int16_t> applied(std::vector<int16_t> block, unsigned code) {
    applyGainCode(block.data(), static_cast<int32_t>(block.size()), code);
    return block;
}

int16_t one(int16_t sample, unsigned code) { return applied({sample}, code)[0]; }

// Every 16-bit value, for exhaustive checks against the arithmetic meaning.
std::vector<int16_t> allSamples() {
    std::vector<int16_t> all;
    for (int v = -32768; v <= 32767; ++v) all.push_back(static_cast<int16_t>(v));
    return all;
}

TEST(ApplyGainCode, AmplifyingCodesSaturateAtBothEnds) {
    EXPECT_EQ(one(20000, 6), 32767);
    EXPECT_EQ(one(-20000, 6), -32768);
    EXPECT_EQ(one(2047, 9), 32752);
    EXPECT_EQ(one(2048, 9), 32767);
    EXPECT_EQ(one(-2048, 9), -32768);
    EXPECT_EQ(one(-2049, 9), -32768);
    EXPECT_EQ(one(-32768, 7), -32768);
    EXPECT_EQ(one(32767, 8), 32767);
}

TEST(ApplyGainCode, AttenuatingCodesShiftArithmetically) {
    EXPECT_EQ(one(-1, 1), -1);
    EXPECT_EQ(one(15, 1), 0);
    EXPECT_EQ(one(16, 1), 1);
    EXPECT_EQ(one(3, 4), 1);
    EXPECT_EQ(one(-3, 4), -2);
    EXPECT_EQ(one(-32768, 1), -2048);
    EXPECT_EQ(one(32767, 2), 4095);
}

TEST(ApplyGainCode, EveryCodeMatchesItsLevelOnEverySample) {
    const auto all = allSamples();
    for (unsigned code = 0; code <= 12; ++code) {
        const auto out = applied(all, code);
        for (size_t i = 0; i < all.size(); ++i) {
            const int v = all[i];
            long expected = v;
            if (code == 0) expected = 0;
            if (code >= 1 && code <= 4) expected = static_cast<long>(std::floor(v / std::pow(2.0, 5 - code)));
            if (code >= 6 && code <= 9) {
                expected = std::clamp<long>(static_cast<long>(v) << (code - 5), -32768, 32767);
            }
            ASSERT_EQ(out[i], expected) << "code " << code << " sample " << v;
        }
    }
}

TEST(ApplyGainCode, MuteUnityAndUnknownCodes) {
    const std::vector<int16_t> block{1, -1, 32767, -32768, 1234};
    EXPECT_EQ(applied(block, 0), std::vector<int16_t>(block.size(), 0));
    EXPECT_EQ(applied(block, 5), block);
    EXPECT_EQ(applied(block, 10), block);
    EXPECT_EQ(applied(block, 12), block);
    EXPECT_EQ(applied(block, 255), block);
    EXPECT_EQ(applied(block, std::numeric_limits<unsigned>::max()), block);
}

TEST(ApplyGainCode, TouchesExactlyCountSamples) {
    std::array<int16_t, 6> block{100, 100, 100, 100, 100, 100};
    applyGainCode(block.data() + 1, 4, 0);
    EXPECT_EQ(block, (std::array<int16_t, 6>{100, 0, 0, 0, 0, 100}));
    applyGainCode(block.data(), 0, 0);
    applyGainCode(block.data(), -5, 0);
    EXPECT_EQ(block[0], 100);
    applyGainCode(nullptr, 960, 0);  // nothing to touch
}

TEST(SaturatingShiftLeft, ClampsToSixteenBits) {
    EXPECT_EQ(saturatingShiftLeft(1, 1), 2);
    EXPECT_EQ(saturatingShiftLeft(-1, 4), -16);
    EXPECT_EQ(saturatingShiftLeft(16383, 1), 32766);
    EXPECT_EQ(saturatingShiftLeft(16384, 1), 32767);
    EXPECT_EQ(saturatingShiftLeft(-16384, 1), -32768);
    EXPECT_EQ(saturatingShiftLeft(-16385, 1), -32768);
    EXPECT_EQ(saturatingShiftLeft(-32768, 4), -32768);
}

TEST(ScalePcm, TruncatesTowardZero) {
    const std::vector<int16_t> in{1000, -1000, 1, -1, 32767, -32768};
    std::vector<int16_t> out(in.size());
    scalePcm(in.data(), out.data(), static_cast<int32_t>(in.size()), 15.0 / 16.0);
    EXPECT_EQ(out, (std::vector<int16_t>{937, -937, 0, 0, 30719, -30720}));
}

TEST(ScalePcm, InPlaceAndUnityAndSilence) {
    std::vector<int16_t> block{1000, -1000, 32767, -32768};
    const auto original = block;
    scalePcm(block.data(), block.data(), 4, 1.0);
    EXPECT_EQ(block, original);
    scalePcm(block.data(), block.data(), 4, 0.5);
    EXPECT_EQ(block, (std::vector<int16_t>{500, -500, 16383, -16384}));
    scalePcm(block.data(), block.data(), 4, 0.0);
    EXPECT_EQ(block, std::vector<int16_t>(4, 0));
}

TEST(ScalePcm, CountOfZeroWritesNothing) {
    const std::vector<int16_t> in{1000, 2000};
    std::vector<int16_t> out{7, 7};
    scalePcm(in.data(), out.data(), 0, 0.5);
    scalePcm(in.data(), out.data(), -2, 0.5);
    EXPECT_EQ(out, (std::vector<int16_t>{7, 7}));
}

TEST(ScalePcm, GainsOutsideTheFadeRangeStayDefined) {
    const std::vector<int16_t> in{20000, -20000, 5};
    std::vector<int16_t> out(3);
    scalePcm(in.data(), out.data(), 3, 4.0);
    EXPECT_EQ(out, (std::vector<int16_t>{32767, -32768, 20}));
    scalePcm(in.data(), out.data(), 3, std::nan(""));
    EXPECT_EQ(out, (std::vector<int16_t>{0, 0, 0}));
    scalePcm(in.data(), out.data(), 3, -1.0);
    EXPECT_EQ(out, (std::vector<int16_t>{-20000, 20000, -5}));
}

}  // namespace
}  // namespace vexlink
