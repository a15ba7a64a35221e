// The parts of the playout core, each on its own: numbering, the packet
// window, the delay histogram, the schedule estimator, the rate controller
// and the resampler.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "playout/DelayManager.h"
#include "playout/FractionalResampler.h"
#include "playout/PacketBuffer.h"
#include "playout/RateController.h"
#include "playout/SampleFifo.h"
#include "playout/ScheduleEstimator.h"
#include "playout/SequenceUnwrapper.h"

namespace vexlink {
namespace {

TEST(SequenceUnwrapperTest, SignedDistanceFromTheNewest) {
    // Reordering across the wrap never moves the numbers after it; exactly
    // half the range away counts as behind.
    const struct { uint16_t raw; int64_t extended; } steps[] = {
        {65534, 65534}, {1, 65537}, {65535, 65535}, {0, 65536}, {2, 65538},
        {65533, 65533}, {3, 65539}, {32771, 32771}, {32770, 98306}, {4, 65540},
    };
    SequenceUnwrapper unwrapper;
    for (const auto& s : steps) EXPECT_EQ(unwrapper.unwrap(s.raw), s.extended) << s.raw;
}

TEST(PacketBufferTest, WindowFromTheBase) {
    PacketBuffer buffer;
    RawMediaPacket packet;
    packet.length = 3;
    using I = PacketBuffer::Insert;
    buffer.reset(100);
    const struct { int64_t sequence; I result; } inserts[] = {
        {100, I::Stored}, {163, I::Stored}, {164, I::Beyond}, {99, I::Behind}, {163, I::Duplicate}, {120, I::Stored},
    };
    for (const auto& i : inserts) EXPECT_EQ(buffer.insert(i.sequence, packet), i.result) << i.sequence;
    EXPECT_EQ(buffer.count(), 3);
    EXPECT_NE(buffer.find(120), nullptr);
    EXPECT_EQ(buffer.find(184), nullptr);  // same slot as 120, other sequence
    EXPECT_FALSE(buffer.lowerBase(99));    // 163 would fall out
    EXPECT_EQ(buffer.advanceTo(121), 2);   // 100 and 120 released
    EXPECT_TRUE(buffer.lowerBase(100));
    EXPECT_EQ(buffer.insert(164, packet), I::Beyond);
    EXPECT_EQ(buffer.advanceTo(101), 0);
    EXPECT_EQ(buffer.insert(164, packet), I::Stored);
    EXPECT_EQ(buffer.advanceTo(1000), 2);
    EXPECT_EQ(buffer.count(), 0);
}

// The allowance follows a burst of jitter up within a second and is back
// down well within 30 s of its end; single late outliers do not move it; a
// discount takes its amount off what was learnt.
TEST(DelayManagerTest, JitterBurstInAndOut) {
    PlayoutConfig config;
    DelayManager delays(config);
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> jitter(0, 30000);
    EXPECT_EQ(delays.allowanceUs(), config.startJitterUs);
    uint64_t t = 0;
    auto run = [&](int packets, bool jittery, int64_t outlierEvery = 0) {
        for (int i = 1; i <= packets; ++i, t += 20000) {
            const int64_t outlier = outlierEvery != 0 && i % outlierEvery == 0 ? 300000 : 0;
            delays.onPacketDelay((jittery ? jitter(random) : 300) + outlier, t);
        }
    };
    run(500, false, 200);  // 10 s clean, with two lone 300 ms delays
    EXPECT_EQ(delays.allowanceUs(), 1000);
    run(50, true);
    EXPECT_GE(delays.allowanceUs(), 28000);
    run(1000, true);
    EXPECT_GE(delays.allowanceUs(), 29000);
    EXPECT_LE(delays.allowanceUs(), 31000);
    delays.discount(10000);  // each delay so far was 10 ms too long
    EXPECT_GE(delays.allowanceUs(), 19000);
    EXPECT_LE(delays.allowanceUs(), 21000);
    run(900, false);  // 18 s after the burst
    EXPECT_EQ(delays.allowanceUs(), 1000);
}

// The slope of the lower envelope is the sender's clock; jitter and lone
// late points leave the envelope where the earliest points are.
TEST(ScheduleEstimatorTest, ClockRateAndEnvelope) {
    const struct { double ppm; int64_t jitterUs; double tolerancePpm; } cases[] = {
        {0, 0, 0.5}, {300, 0, 0.5}, {-300, 0, 0.5}, {3000, 0, 0.5}, {-3000, 0, 0.5}, {300, 20000, 30}, {0, 5000, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ppm << " ppm, jitter " << c.jitterUs);
        ScheduleEstimator schedule(1e6 / 48000);
        std::mt19937 random(3);
        std::uniform_int_distribution<int64_t> jitter(0, c.jitterUs);
        EXPECT_EQ(schedule.rate(), 1.0);
        double minLateness = 1e9;
        for (int i = 0; i < 1000; ++i) {  // 20 s
            const auto sent = static_cast<int64_t>(5e6 + i * 20000 / (1 + c.ppm * 1e-6));
            const int64_t t = sent + jitter(random) + (i % 97 == 0 ? 80000 : 0);
            if (i > 250) minLateness = std::min(minLateness, schedule.lateness(int64_t{i} * 960, t));
            schedule.add(int64_t{i} * 960, t);
        }
        EXPECT_NEAR((schedule.rate() - 1) * 1e6, c.ppm, c.tolerancePpm);
        // The stated margin covers the real error, and is small when the points lie on the line.
        EXPECT_LE(std::abs(schedule.rate() - 1 - c.ppm * 1e-6), schedule.rateMargin() + 0.5e-6);
        EXPECT_LE(schedule.rateMargin(), c.jitterUs == 0 ? 0.2e-6 : 2 * c.tolerancePpm * 1e-6);
        EXPECT_NEAR(minLateness, 0.0, 1.0 + c.jitterUs / 15.0);
        EXPECT_NEAR(schedule.unitsAt(static_cast<int64_t>(5e6 + 990 * 20000 / (1 + c.ppm * 1e-6))), 990 * 960.0,
                    2.0 + c.jitterUs * 0.048 / 20);
        schedule.shift(1e6);  // a pause: the same schedule a second later
        EXPECT_NEAR(schedule.lateness(1000 * 960, static_cast<int64_t>(6e6 + 1000 * 20000 / (1 + c.ppm * 1e-6))), 0,
                    1 + c.jitterUs / 15.0);
    }
}

TEST(RateControllerTest, ExactlyOneUntilThereIsSomethingToCorrect) {
    RateController rate(0.005);
    const struct { double excess, clock, margin, ratio; } steps[] = {
        {0, 1.0, 0, 1.0},           {24, 1.00001, 0, 1.0},   // inside the band, clocks within the snap
        {-36, 1.0, 0, 1.0 - 0.002}, {60, 1.0, 0, 1.002},     // 1 ms from the band's middle: 0.2 %
        {10, 1.0004, 400e-6, 1.0},  // 400 ppm measured, but only 0 ppm for sure
        {10, 1.00004, 0, 1.00004},  {10, 1.00002, 0, 1.00002},  // released beyond 30 ppm, snapped again below 15
        {10, 1.00001, 0, 1.0},      {5000, 1.0, 0, 1.005},   {-5000, 0.999, 0, 0.995},
    };
    for (const auto& s : steps) {
        rate.observeClocks(s.clock, s.margin);
        EXPECT_DOUBLE_EQ(rate.update(s.excess), s.ratio) << s.excess << " " << s.clock;
    }
}

class ResamplerTest : public ::testing::Test {
protected:
    // Runs `count` outputs in pulls of `pull`, with the input a sine at
    // `hz`, ratio changing as asked, from a fresh start.
    std::vector<int16_t> run(double hz, int32_t count, int32_t pull, const std::function<double(int32_t)>& ratioAt) {
        fifo.reset(0);
        resampler.reset();
        position = fed = 0;
        std::vector<int16_t> out(static_cast<size_t>(count));
        for (int32_t done = 0; done < count; done += pull) {
            pull = std::min(pull, count - done);
            resampler.setRatio(ratioAt(done));
            while (fifo.end() < position + resampler.inputSpan(pull)) {
                int16_t* p = fifo.append(960);
                for (int i = 0; i < 960; ++i, ++fed) p[i] = input(hz, fed);
            }
            resampler.process(fifo, position, out.data() + done, pull);
            fifo.discardBefore(position - FractionalResampler::kHalfTaps);
        }
        return out;
    }
    static int16_t input(double hz, int64_t n) {
        return static_cast<int16_t>(std::lrint(12000 * std::sin(2 * M_PI * hz * n / 48000)));
    }
    SampleFifo fifo;
    FractionalResampler resampler;
    int64_t position = 0, fed = 0;
};

// Within 78 dB of an exact interpolation across the band (the floor of
// 16-bit samples at this level is 89 dB).
TEST_F(ResamplerTest, FractionalPositionsAreInterpolatedCleanly) {
    for (double ratio : {1.005, 0.995, 1.0003}) {
        for (double hz : {200.0, 3000.0, 9000.0, 16000.0}) {
            const auto out = run(hz, 19200, 480, [ratio](int32_t) { return ratio; });
            double error = 0, signal = 0;
            for (int i = 960; i < 19200; ++i) {
                const double ideal = 12000 * std::sin(2 * M_PI * hz * i * ratio / 48000);
                error += (out[size_t(i)] - ideal) * (out[size_t(i)] - ideal);
                signal += ideal * ideal;
            }
            EXPECT_GT(10 * std::log10(signal / error), 76.0) << ratio << " " << hz;
            EXPECT_NEAR(double(position), 19200 * ratio, 1.0);
        }
    }
}

// In and out of resampling: no step larger than the sine's own, and once
// back at ratio 1 the phase glides to a whole sample within 2 ms and the
// output copies the input again.
TEST_F(ResamplerTest, SwitchingInAndOutIsSmooth) {
    const double hz = 1000;
    const auto out = run(hz, 48000, 256, [](int32_t done) { return done >= 4800 && done < 9600 ? 1.0047 : 1.0; });
    const double largestStep = 12000 * 2 * M_PI * hz * 1.0047 / 48000 + 2;
    for (size_t i = 1; i < out.size(); ++i) ASSERT_LE(std::abs(out[i] - out[i - 1]), largestStep) << i;
    EXPECT_EQ(resampler.phase(), 0u);
    const int64_t shift = position - 48000;  // whole samples skipped while resampling
    EXPECT_NEAR(double(shift), 4864 * 0.0047, 1.0);
    for (int64_t i = 9600 + 256 + 96; i < 48000; ++i) ASSERT_EQ(out[size_t(i)], input(hz, i + shift)) << i;
}

}  // namespace
}  // namespace vexlink
