#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/MediaPacketWriter.h"
#include "tools/phonesim/ToneSignal.h"
#include "tools/phonesim/WavSignal.h"

using namespace vexlink::phonesim;

namespace {

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

std::vector<uint8_t> wav(uint16_t format, uint16_t channels, uint32_t rate, uint16_t bits,
                         const std::vector<int16_t>& interleaved, bool extraChunk = false) {
    std::vector<uint8_t> v;
    const uint32_t dataBytes = static_cast<uint32_t>(interleaved.size() * 2);
    v.insert(v.end(), {'R', 'I', 'F', 'F'});
    put32(v, 0);  // patched below
    v.insert(v.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(v, 16);
    put16(v, format);
    put16(v, channels);
    put32(v, rate);
    put32(v, rate * channels * bits / 8);
    put16(v, channels * bits / 8);
    put16(v, bits);
    if (extraChunk) {  // an odd-sized chunk with its pad byte
        v.insert(v.end(), {'L', 'I', 'S', 'T'});
        put32(v, 3);
        v.insert(v.end(), {1, 2, 3, 0});
    }
    v.insert(v.end(), {'d', 'a', 't', 'a'});
    put32(v, dataBytes);
    for (int16_t s : interleaved) put16(v, static_cast<uint16_t>(s));
    const uint32_t riff = static_cast<uint32_t>(v.size() - 8);
    std::memcpy(v.data() + 4, &riff, 4);
    return v;
}

int zeroCrossings(const int16_t* s, size_t n) {
    int c = 0;
    for (size_t i = 1; i < n; ++i) c += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
    return c;
}

}  // namespace

TEST(SimSignal, ToneHasItsFrequencyAndAmplitudeAndIsAddressableByFrame) {
    ToneSignal tone(1000.0, 0.5);
    std::vector<int16_t> second(48000);
    for (uint64_t f = 0; f < 50; ++f) tone.render(f, second.data() + f * 960);
    EXPECT_NEAR(zeroCrossings(second.data(), second.size()), 2000, 2);
    EXPECT_EQ(*std::max_element(second.begin(), second.end()), 16384);  // 0.5 * 32767, rounded
    int16_t again[960];
    tone.render(37, again);
    EXPECT_EQ(std::memcmp(again, second.data() + 37 * 960, sizeof again), 0);
    EXPECT_EQ(tone.frameCount(), 0u);
}

TEST(SimSignal, ChirpSweepsUpwardsAndRepeats) {
    ChirpSignal chirp(200.0, 4000.0, 1000, 0.5);
    int16_t first[960], last[960], again[960];
    chirp.render(0, first);
    chirp.render(49, last);
    chirp.render(50, again);  // one period later
    EXPECT_LT(zeroCrossings(first, 960), zeroCrossings(last, 960) / 4);
    EXPECT_EQ(std::memcmp(first, again, sizeof first), 0);
}

TEST(SimSignal, StereoWavBecomesMonoAverage) {
    std::vector<int16_t> pcm;
    for (int i = 0; i < 1000; ++i) {
        pcm.push_back(static_cast<int16_t>(i * 10));
        pcm.push_back(static_cast<int16_t>(-i * 4));
    }
    const auto bytes = wav(1, 2, 48000, 16, pcm, true);
    std::string error;
    auto signal = WavSignal::parse(bytes.data(), bytes.size(), &error);
    ASSERT_TRUE(signal) << error;
    ASSERT_EQ(signal->samples().size(), 1000u);
    EXPECT_EQ(signal->samples()[500], (5000 - 2000) / 2);
    EXPECT_EQ(signal->frameCount(), 2u);  // 1000 samples: one full frame and a padded one
    int16_t frame[960];
    signal->render(1, frame);
    EXPECT_EQ(frame[0], signal->samples()[960]);
    EXPECT_EQ(frame[40], 0);  // padding
    signal->render(2, frame);  // repeats from the start
    EXPECT_EQ(frame[1], signal->samples()[1]);
}

TEST(SimSignal, WavAtAnEvenDivisorOfTheRateIsRaisedByInterpolation) {
    const auto bytes = wav(1, 1, 24000, 16, {0, 100, 200, -200});
    std::string error;
    auto signal = WavSignal::parse(bytes.data(), bytes.size(), &error);
    ASSERT_TRUE(signal) << error;
    EXPECT_EQ(signal->samples(), (std::vector<int16_t>{0, 50, 100, 150, 200, 0, -200, -200}));
    EXPECT_EQ(signal->sourceRate(), 24000u);
}

TEST(SimSignal, UnsupportedWavFilesAreRefusedWithAReason) {
    std::string error;
    auto b = wav(1, 1, 44100, 16, {1, 2, 3});
    EXPECT_FALSE(WavSignal::parse(b.data(), b.size(), &error));
    EXPECT_NE(error.find("48000"), std::string::npos) << error;
    b = wav(1, 1, 48000, 8, {1, 2, 3});
    EXPECT_FALSE(WavSignal::parse(b.data(), b.size(), &error));
    EXPECT_NE(error.find("16-bit"), std::string::npos);
    b = wav(3, 1, 48000, 16, {1, 2, 3});  // float
    EXPECT_FALSE(WavSignal::parse(b.data(), b.size(), &error));
    b = wav(1, 6, 48000, 16, {1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(WavSignal::parse(b.data(), b.size(), &error));
    b = wav(1, 1, 48000, 16, {});
    EXPECT_FALSE(WavSignal::parse(b.data(), b.size(), &error));
    const uint8_t notWav[] = "RIFX\0\0\0\0WAVE";
    EXPECT_FALSE(WavSignal::parse(notWav, sizeof notWav, &error));
    EXPECT_FALSE(WavSignal::load("/nonexistent/file.wav", &error));
    EXPECT_NE(error.find("/nonexistent/file.wav"), std::string::npos);
}

TEST(SimSignal, WavWithADataSizeBeyondTheFileIsReadUpToItsEnd) {
    auto b = wav(1, 1, 48000, 16, {5, 6, 7, 8});
    b.resize(b.size() - 3);  // cut inside the third sample
    std::string error;
    auto signal = WavSignal::parse(b.data(), b.size(), &error);
    ASSERT_TRUE(signal) << error;
    EXPECT_EQ(signal->samples(), (std::vector<int16_t>{5, 6}));
}

TEST(SimSignal, HostileWavBytesNeverCrash) {
    const auto good = wav(1, 2, 16000, 16, std::vector<int16_t>(64, 1000), true);
    std::mt19937 rng(5);
    for (int round = 0; round < 3000; ++round) {
        auto b = good;
        const int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits; ++e) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        b.resize(rng() % (b.size() + 1));
        std::string error;
        auto signal = WavSignal::parse(b.data(), b.size(), &error);
        if (signal) {
            int16_t frame[960];
            signal->render(rng() % 5, frame);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

TEST(SimSignal, WavLoadsFromAFile) {
    const auto path = std::filesystem::temp_directory_path() / ("phonesim-" + std::to_string(getpid()) + ".wav");
    const auto bytes = wav(1, 1, 48000, 16, std::vector<int16_t>(1920, -7));
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::string error;
    auto signal = WavSignal::load(path.string(), &error);
    std::filesystem::remove(path);
    ASSERT_TRUE(signal) << error;
    EXPECT_EQ(signal->frameCount(), 2u);
}

TEST(MediaPacketWriter, VersionFourLayout) {
    std::vector<uint8_t> payload(64, 0x5A);
    uint8_t out[128];
    MediaPacketFields f;
    f.version = 4;
    f.sequence = 0x10102;  // only the low 16 bits go out
    f.timestampMs = 1000;
    f.gainCode = 5;
    ASSERT_EQ(writeMediaPacket(f, payload.data(), payload.size(), out, sizeof out), 75u);
    const uint8_t header[] = {0x04, 0x00, 0x00, 0x47, 0x01, 0x02, 0x00, 0x00, 0x03, 0xE8, 0x05};
    EXPECT_EQ(std::memcmp(out, header, sizeof header), 0);
    EXPECT_EQ(std::memcmp(out + 11, payload.data(), 64), 0);
    f.version = 7;  // later versions use the same layout
    EXPECT_EQ(writeMediaPacket(f, nullptr, 0, out, sizeof out), 11u);
    EXPECT_EQ(out[3], 7);  // empty payload: length 7
}

TEST(MediaPacketWriter, VersionTwoAndThreeLayout) {
    std::vector<uint8_t> payload(64, 1);
    uint8_t out[128];
    for (int version : {2, 3}) {
        MediaPacketFields f;
        f.version = version;
        f.sequence = 0xABCD0010;
        f.timestampMs = 12345;  // not part of this layout
        ASSERT_EQ(writeMediaPacket(f, payload.data(), payload.size(), out, sizeof out), 70u);
        const uint8_t header[] = {0xAB, 0xCD, 0x00, 0x10, 0x00, 0x40};
        EXPECT_EQ(std::memcmp(out, header, sizeof header), 0) << version;
        EXPECT_EQ(out[6], 1);
    }
}

TEST(MediaPacketWriter, RefusesWhatDoesNotFit) {
    std::vector<uint8_t> payload(100);
    uint8_t out[64];
    MediaPacketFields f;
    EXPECT_EQ(writeMediaPacket(f, payload.data(), payload.size(), out, sizeof out), 0u);
    std::vector<uint8_t> huge(70000);
    std::vector<uint8_t> big(80000);
    EXPECT_EQ(writeMediaPacket(f, huge.data(), huge.size(), big.data(), big.size()), 0u);
}
