#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <opus.h>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/OpusVoiceDecoder.h"
#include "audio/PcmLevel.h"

namespace vexlink {
namespace {

using Pcm = std::vector<int16_t>;

TEST(ApplyGainCode, SaturatesShiftsArithmeticallyAndIgnoresUnknownCodes) {
    struct Case { int16_t in; unsigned code; int16_t out; };
    const Case cases[] = {
        {-1, 1, -1}, {15, 1, 0}, {-32768, 1, -2048}, {3, 4, 1}, {-3, 4, -2},  // arithmetic shift right
        {20000, 6, 32767}, {-20000, 6, -32768}, {2047, 9, 32752}, {2048, 9, 32767}, {-2049, 9, -32768},
        {1234, 0, 0}, {-32768, 5, -32768}, {32767, 10, 32767}, {-7, 255, -7}};  // mute, unity, no meaning
    for (const Case& c : cases) {
        int16_t sample = c.in;
        applyGainCode(&sample, 1, c.code);
        EXPECT_EQ(sample, c.out) << "code " << c.code << " on " << c.in;
    }
    Pcm block(6, 100);
    applyGainCode(block.data() + 1, 4, 0);
    applyGainCode(block.data(), 0, 0);
    EXPECT_EQ(block, (Pcm{100, 0, 0, 0, 0, 100}));  // exactly `count` samples touched
}

TEST(ScalePcm, TruncatesTowardZeroInPlaceAndSaturates) {
    const Pcm in{1000, -1000, 1, -1, 32767, -32768};
    const std::pair<double, Pcm> cases[] = {{15.0 / 16, {937, -937, 0, 0, 30719, -30720}},
                                            {0.0, Pcm(6, 0)},
                                            {4.0, {4000, -4000, 4, -4, 32767, -32768}},
                                            {std::nan(""), Pcm(6, 0)}};  // no gain makes the result undefined
    for (const auto& [gain, out] : cases) {
        Pcm block = in;
        scalePcm(block.data(), block.data(), 6, gain);
        EXPECT_EQ(block, out) << gain;
    }
    Pcm untouched{7, 7};
    scalePcm(in.data(), untouched.data(), 0, 0.5);
    EXPECT_EQ(untouched, (Pcm{7, 7}));
}

class OpusVoiceDecoderTest : public testing::Test {
protected:
    std::unique_ptr<OpusEncoder, void (*)(OpusEncoder*)> encoder{
        opus_encoder_create(kSampleRate, kChannels, OPUS_APPLICATION_VOIP, nullptr), opus_encoder_destroy};
    long phase = 0;
    OpusVoiceDecoder decoder{kSampleRate, kChannels};
    int16_t pcm[kFrameSamples]{};
    int32_t count = kFrameSamples;

    // A real packet from libopus' encoder: `samples` of a 440 Hz tone.
    std::vector<uint8_t> packet(int samples) {
        std::vector<int16_t> tone(samples);
        for (auto& s : tone) s = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * phase++ / kSampleRate));
        std::vector<uint8_t> out(4000);
        out.resize(std::max(0, opus_encode(encoder.get(), tone.data(), samples, out.data(), 4000)));
        EXPECT_FALSE(out.empty());
        return out;
    }
    bool decode(const std::vector<uint8_t>& p) {
        count = kFrameSamples;
        return decoder.decode(p.data(), static_cast<int32_t>(p.size()), pcm, count);
    }
};

TEST_F(OpusVoiceDecoderTest, DecodesTwentyAndTenMsOfVoiceRefusesWhatDoesNotFitAndConcealsALoss) {
    ASSERT_TRUE(decoder.open());
    EXPECT_TRUE(decoder.open());  // reopened: the leak checker sees a lost first state
    for (int k = 0; k < 10; ++k) {
        ASSERT_TRUE(decode(packet(960)));
        ASSERT_EQ(count, 960);
    }
    const double rms = std::sqrt(std::inner_product(pcm, pcm + kFrameSamples, pcm, 0.0) / kFrameSamples);
    EXPECT_NEAR(rms, 8000 / std::sqrt(2.0), 2800);  // the tone came through
    ASSERT_TRUE(decode(packet(480)));
    EXPECT_EQ(count, 480);
    const std::vector<uint8_t> corrupt{0xFB, 0x00};  // several frames announced, zero given
    for (const auto& p : {packet(1920), packet(2880), corrupt}) {  // 40 and 60 ms exceed the frame
        EXPECT_FALSE(decode(p));
        EXPECT_EQ(count, kFrameSamples);
    }
    EXPECT_FALSE(decoder.decode(corrupt.data(), -1, pcm, count));
    EXPECT_TRUE(decode({}));  // a lost packet is concealed for a full frame
    EXPECT_EQ(count, 960);
}

TEST_F(OpusVoiceDecoderTest, ClosedNeverOpenedOrUnopenableDecoderRefuses) {
    const auto p = packet(960);
    EXPECT_FALSE(decode(p));
    ASSERT_TRUE(decoder.open());
    for (int i = 0; i < 2; ++i) decoder.close();
    EXPECT_FALSE(decode(p));
    EXPECT_EQ(count, kFrameSamples);
    const int32_t formats[][2] = {{44100, 1}, {0, 1}, {-48000, 1}, {kSampleRate, 3}, {kSampleRate, 0}};
    for (const auto& f : formats) {
        OpusVoiceDecoder bad(f[0], f[1]);
        EXPECT_FALSE(bad.open()) << f[0] << " Hz, " << f[1] << " channels";
        EXPECT_FALSE(bad.decode(p.data(), static_cast<int32_t>(p.size()), pcm, count));
    }
}

}  // namespace
}  // namespace vexlink
