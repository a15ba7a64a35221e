// The benchmark's figures of one run, from made-up records whose answers
// are known.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "RunAnalysis.h"

namespace vexlink::bench {
namespace {

constexpr uint64_t kFrame = 960;

// Frames sent 20 ms apart from t = 1 s, each arriving 2 ms later; the
// reference is a distinct loud pattern per frame.
struct MadeUpRun {
    explicit MadeUpRun(size_t frames) : sent(frames), arrivals(frames), reference(frames * kFrame) {
        for (size_t i = 0; i < frames; ++i) {
            sent[i].firstSendUs = int64_t(1000000 + 20000 * i);
            arrivals[i] = uint64_t(sent[i].firstSendUs + 2000);
            for (uint64_t s = 0; s < kFrame; ++s) reference[i * kFrame + s] = int16_t(((i * 7 + s) % 50) * 200 - 5000);
        }
    }
    // Frame `index` heard at output sample `at`, written `delayMs` after it was sent.
    void play(uint32_t index, uint64_t at, double delayMs) {
        played.push_back({index, at, uint64_t(sent[index].firstSendUs + int64_t(delayMs * 1000))});
        if (output.size() < at + kFrame) output.resize(at + kFrame, 0);
        std::copy(reference.begin() + long(index * kFrame), reference.begin() + long((index + 1) * kFrame),
                  output.begin() + long(at));
    }
    RunFigures analyse(int64_t eventFrom = -1, int64_t eventTo = -1) {
        return analyseRun({&sent, &arrivals, &played, &output, &reference, 20.0, eventFrom, eventTo, eventFrom >= 0});
    }
    std::vector<SentFrame> sent;
    std::vector<uint64_t> arrivals;
    std::vector<int16_t> reference, output;
    std::vector<PlayedFrame> played;
};

TEST(RunAnalysis, OrderDuplicatesAndAlignmentOfRealAndConcealedOutput) {
    MadeUpRun run(8);
    // 0 1, a gap (concealed: silence), 3 2 swapped, 4 twice, 6 7.
    const std::vector<std::pair<uint32_t, uint64_t>> heard = {{0, 0}, {1, 1}, {3, 3}, {2, 4}, {4, 5}, {4, 6}, {6, 7}, {7, 8}};
    for (const auto& [index, slot] : heard) run.play(index, slot * kFrame, 10.0);
    const RunFigures f = run.analyse();
    EXPECT_EQ(f.played, 8u);
    EXPECT_EQ(f.outOfOrder, 1u);   // 2 after 3
    EXPECT_EQ(f.playedTwice, 1u);  // 4 again
    EXPECT_EQ(f.realSegments, 8u);
    EXPECT_DOUBLE_EQ(f.snrReal, 35.0);       // every real frame where the probe said
    EXPECT_EQ(f.concealedSegments, 1u);      // slot 2, against frame 2
    EXPECT_DOUBLE_EQ(f.snrConcealed, 0.0);   // silence in place of the signal
    EXPECT_DOUBLE_EQ(f.sendWrite.p50, 10.0);
    EXPECT_DOUBLE_EQ(f.arrivalWrite.p99, 8.0);
    EXPECT_DOUBLE_EQ(f.spanSeconds, 9.0 * kFrame / 48000);
}

TEST(RunAnalysis, FramesSpacedBySamplesOffAFrameAreNotConcealment) {
    MadeUpRun run(6);
    for (uint32_t i = 0; i < 6; ++i) run.play(i, i * 963, 10.0);  // resampled slower
    const RunFigures f = run.analyse();
    EXPECT_EQ(f.realSegments, 6u);
    EXPECT_EQ(f.concealedSegments, 0u);
}

TEST(RunAnalysis, IsolatedLossesConcealedCloseToTheLostFrameCountAsRecovered) {
    MadeUpRun run(6);
    run.sent[2].dropped = run.sent[4].dropped = true;
    for (uint32_t i : {0, 1, 3, 5}) run.play(i, i * kFrame, 10.0);
    // Frame 2's place holds frame 2 itself (rebuilt), frame 4's silence.
    std::copy(run.reference.begin() + 2 * kFrame, run.reference.begin() + 3 * kFrame, run.output.begin() + 2 * kFrame);
    const RunFigures f = run.analyse();
    EXPECT_EQ(f.isolatedLosses, 2u);
    EXPECT_EQ(f.isolatedRecovered, 1u);
}

TEST(RunAnalysis, SlipsAfterTenSecondsAndRecoveryAfterAnEvent) {
    // 40 s of frames: 10 ms of delay, 300 ms for the frames of 10..12 s (the
    // event) and of the 3 s after it, then 10 ms again; one frame skipped at
    // 30 s and one at 5 s (before the slips count).
    MadeUpRun run(2000);
    uint64_t at = 0;
    for (uint32_t i = 0; i < 2000; ++i) {
        if (i == 250 || i == 1500) continue;
        const double ms = i * 20.0;
        run.play(i, at, ms >= 10000 && ms < 15000 ? 300.0 : 10.0);
        at += kFrame;
    }
    const RunFigures f = run.analyse(10000, 12000);
    EXPECT_EQ(f.slipsAfter10s, 1u);
    // After 10 s of output one frame in 1497 was skipped: media ran that much faster.
    EXPECT_NEAR(f.ratePpm, 1e6 / 1497, 0.5);
    EXPECT_DOUBLE_EQ(f.baselineP50, 10.0);
    EXPECT_DOUBLE_EQ(f.recoverySeconds, 3.0);
    EXPECT_DOUBLE_EQ(f.sendWriteOutside.p99, 300.0);  // 12..15 s is outside the event
    EXPECT_DOUBLE_EQ(f.p50Per5s[2], 300.0);
    EXPECT_DOUBLE_EQ(f.p50Per5s[4], 10.0);
}

TEST(RunAnalysis, SequenceNumbersUnwrapAcrossTheSixteenBitWrap) {
    EXPECT_EQ(unwrapSequence(0x0002, 0xFFFE), 0x10002u);
    EXPECT_EQ(unwrapSequence(0xFFFD, 0x10002), 0xFFFDu);
    EXPECT_EQ(unwrapSequence(5, 0), 5u);
    EXPECT_EQ(unwrapSequence(0xFFFF, 0), 0xFFFFu);  // never below frame 0
}

}  // namespace
}  // namespace vexlink::bench
