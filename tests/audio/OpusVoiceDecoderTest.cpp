#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <opus.h>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/OpusVoiceDecoder.h"

namespace vexlink {
namespace {

// Real Opus packets from libopus' own encoder.
class Encoder {
public:
    explicit Encoder(int channels = 1) : channels_(channels) {
        int error = OPUS_OK;
        state_ = opus_encoder_create(kSampleRate, channels, OPUS_APPLICATION_VOIP, &error);
        EXPECT_EQ(error, OPUS_OK);
    }
    ~Encoder() { opus_encoder_destroy(state_); }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // A 440 Hz tone of `samples` samples per channel, continuing the phase.
    std::vector<uint8_t> packet(int samples) {
        std::vector<int16_t> pcm(static_cast<size_t>(samples) * channels_);
        for (int i = 0; i < samples; ++i) {
            const auto v = static_cast<int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * phase_++ / kSampleRate));
            for (int c = 0; c < channels_; ++c) pcm[static_cast<size_t>(i) * channels_ + c] = v;
        }
        std::vector<uint8_t> out(4000);
        const int n = opus_encode(state_, pcm.data(), samples, out.data(), static_cast<opus_int32>(out.size()));
        EXPECT_GT(n, 0);
        out.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return out;
    }

private:
    OpusEncoder* state_ = nullptr;
    int channels_;
    long phase_ = 0;
};

double rms(const int16_t* pcm, int count) {
    double sum = 0;
    for (int i = 0; i < count; ++i) sum += static_cast<double>(pcm[i]) * pcm[i];
    return std::sqrt(sum / count);
}

struct OpenDecoder {
    OpusVoiceDecoder decoder{kSampleRate, kChannels};
    Encoder encoder;
    int16_t pcm[kFrameSamples]{};
    int32_t count = kFrameSamples;
    OpenDecoder() { EXPECT_TRUE(decoder.open()); }
    bool decode(const std::vector<uint8_t>& packet) {
        count = kFrameSamples;
        return decoder.decode(packet.data(), static_cast<int32_t>(packet.size()), pcm, count);
    }
};

TEST(OpusVoiceDecoder, TwentyMillisecondPacketGivesAFullFrameOfTheVoice) {
    OpenDecoder d;
    EXPECT_TRUE(d.decoder.isOpen());
    // A few frames in, the codec has settled; the tone's level comes through.
    for (int k = 0; k < 10; ++k) {
        ASSERT_TRUE(d.decode(d.encoder.packet(960))) << k;
        ASSERT_EQ(d.count, 960);
    }
    const double level = rms(d.pcm, 960);
    EXPECT_GT(level, 8000 / std::sqrt(2.0) * 0.5);
    EXPECT_LT(level, 8000 / std::sqrt(2.0) * 1.5);
}

TEST(OpusVoiceDecoder, TenMillisecondPacketGivesHalfAFrame) {
    OpenDecoder d;
    ASSERT_TRUE(d.decode(d.encoder.packet(480)));
    EXPECT_EQ(d.count, 480);
}

TEST(OpusVoiceDecoder, PacketsLongerThanTheCapacityFailAndLeaveTheCount) {
    OpenDecoder d;
    for (int samples : {1920, 2880}) {  // 40 and 60 ms
        const auto packet = d.encoder.packet(samples);
        int32_t count = kFrameSamples;
        EXPECT_FALSE(d.decoder.decode(packet.data(), static_cast<int32_t>(packet.size()), d.pcm, count)) << samples;
        EXPECT_EQ(count, kFrameSamples) << samples;
    }
    // The decoder is still usable.
    EXPECT_TRUE(d.decode(d.encoder.packet(960)));
    EXPECT_EQ(d.count, 960);
}

TEST(OpusVoiceDecoder, EmptyPacketIsConcealedForTheFullCapacity) {
    OpenDecoder d;
    ASSERT_TRUE(d.decode(d.encoder.packet(960)));
    int32_t count = kFrameSamples;
    const uint8_t dummy = 0;
    EXPECT_TRUE(d.decoder.decode(&dummy, 0, d.pcm, count));
    EXPECT_EQ(count, 960);
    count = kFrameSamples;
    EXPECT_TRUE(d.decoder.decode(nullptr, 0, d.pcm, count));
    EXPECT_EQ(count, 960);
}

TEST(OpusVoiceDecoder, CorruptPacketFailsAndLeavesTheCount) {
    OpenDecoder d;
    // Code-3 packet (several frames) that announces zero frames.
    const uint8_t corrupt[] = {0xFB, 0x00};
    int32_t count = kFrameSamples;
    EXPECT_FALSE(d.decoder.decode(corrupt, 2, d.pcm, count));
    EXPECT_EQ(count, kFrameSamples);
}

TEST(OpusVoiceDecoder, NoCapacityOrNegativeLengthFails) {
    OpenDecoder d;
    const auto packet = d.encoder.packet(960);
    int32_t count = 0;
    EXPECT_FALSE(d.decoder.decode(packet.data(), static_cast<int32_t>(packet.size()), d.pcm, count));
    EXPECT_EQ(count, 0);
    count = kFrameSamples;
    EXPECT_FALSE(d.decoder.decode(packet.data(), -1, d.pcm, count));
    EXPECT_EQ(count, kFrameSamples);
}

TEST(OpusVoiceDecoder, ClosedOrNeverOpenedDecoderRefusesToDecode) {
    Encoder encoder;
    const auto packet = encoder.packet(960);
    int16_t pcm[kFrameSamples];
    int32_t count = kFrameSamples;

    OpusVoiceDecoder never(kSampleRate, kChannels);
    EXPECT_FALSE(never.isOpen());
    EXPECT_FALSE(never.decode(packet.data(), static_cast<int32_t>(packet.size()), pcm, count));
    EXPECT_EQ(count, kFrameSamples);
    never.close();  // harmless

    OpusVoiceDecoder closed(kSampleRate, kChannels);
    ASSERT_TRUE(closed.open());
    closed.close();
    EXPECT_FALSE(closed.isOpen());
    closed.close();  // twice: harmless
    EXPECT_FALSE(closed.decode(packet.data(), static_cast<int32_t>(packet.size()), pcm, count));
    EXPECT_EQ(count, kFrameSamples);
}

TEST(OpusVoiceDecoder, UnsupportedFormatsFailToOpen) {
    for (int32_t rate : {44100, 96000, 0, -48000}) {
        OpusVoiceDecoder decoder(rate, 1);
        EXPECT_FALSE(decoder.open()) << rate;
        EXPECT_FALSE(decoder.isOpen());
        decoder.close();
    }
    for (int32_t channels : {0, 3, -1}) {
        OpusVoiceDecoder decoder(kSampleRate, channels);
        EXPECT_FALSE(decoder.open()) << channels;
        EXPECT_FALSE(decoder.isOpen());
        int16_t pcm[kFrameSamples];
        int32_t count = kFrameSamples;
        const uint8_t packet[] = {0x08, 0x00};
        EXPECT_FALSE(decoder.decode(packet, 2, pcm, count));
    }
    for (int32_t rate : {8000, 12000, 16000, 24000, 48000}) {
        OpusVoiceDecoder decoder(rate, 1);
        EXPECT_TRUE(decoder.open()) << rate;
    }
}

TEST(OpusVoiceDecoder, StereoCapacityCountsSamplesPerChannel) {
    OpusVoiceDecoder decoder(kSampleRate, 2);
    ASSERT_TRUE(decoder.open());
    Encoder encoder(2);
    const auto packet = encoder.packet(960);
    std::vector<int16_t> pcm(2 * 960);
    int32_t count = 960;
    EXPECT_TRUE(decoder.decode(packet.data(), static_cast<int32_t>(packet.size()), pcm.data(), count));
    EXPECT_EQ(count, 960);
}

TEST(OpusVoiceDecoder, ReopeningKeepsOneDecoderState) {
    // Under the leak checker a lost first state would show.
    OpenDecoder d;
    EXPECT_TRUE(d.decoder.open());
    EXPECT_TRUE(d.decode(d.encoder.packet(960)));
}

TEST(OpusVoiceDecoder, WorksThroughTheCodecNeutralInterface) {
    std::unique_ptr<VoiceDecoder> decoder = std::make_unique<OpusVoiceDecoder>(kSampleRate, kChannels);
    ASSERT_TRUE(decoder->open());
    Encoder encoder;
    const auto packet = encoder.packet(960);
    int16_t pcm[kFrameSamples];
    int32_t count = kFrameSamples;
    EXPECT_TRUE(decoder->decode(packet.data(), static_cast<int32_t>(packet.size()), pcm, count));
    EXPECT_EQ(count, 960);
}  // destroyed open: the destructor closes it

}  // namespace
}  // namespace vexlink
