// The playout core on arrival traces and a fake clock, with real Opus
// frames that each differ (a tone whose pitch changes every frame), so the
// frames that come out can be checked against a reference decode.

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>
#include <numeric>
#include <random>
#include <vector>

#include "audio/PcmLevel.h"
#include "playout/AdaptivePlayout.h"

// Every allocation of the test program goes through here and is counted
// (the sanitizers bring their own allocators, so not in their builds).
std::atomic<int64_t> allocations{0};
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
[[gnu::noinline]] void* operator new(size_t size) {
    ++allocations;
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

namespace vexlink {
namespace {

using Bytes = std::vector<uint8_t>;
using Frame = PlayoutObserver::Frame;
constexpr int kFrames = 1500;               // 30 s for most traces
constexpr int kVoiceFrames = 3000;
constexpr uint16_t kFirstSequence = 65436;  // the 16-bit numbers wrap at frame 100
constexpr int64_t kStartUs = 5000000;

std::vector<Bytes> encodeVoice(bool fec) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 1, OPUS_APPLICATION_VOIP, &error);
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(1));
    opus_encoder_ctl(encoder, OPUS_SET_INBAND_FEC(fec ? 1 : 0));
    opus_encoder_ctl(encoder, OPUS_SET_PACKET_LOSS_PERC(fec ? 20 : 0));
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(24000));
    std::vector<Bytes> packets;
    std::vector<int16_t> pcm(960);
    double phase = 0;
    for (int f = 0; f < kVoiceFrames; ++f) {
        for (int16_t& s : pcm) s = int16_t(9000 * std::sin(phase += 2 * M_PI * (220 + (f * 37) % 500) / 48000));
        uint8_t out[1500];
        packets.emplace_back(out, out + std::max(0, opus_encode(encoder, pcm.data(), 960, out, 1500)));
    }
    opus_encoder_destroy(encoder);
    return packets;
}
const std::vector<Bytes>& voice(bool fec = false) {
    static const std::vector<Bytes> plain = encodeVoice(false), withFec = encodeVoice(true);
    return fec ? withFec : plain;
}

// The frames a fresh decoder gives for these packets, decoded in this order.
std::vector<std::vector<int16_t>> decodeInOrder(const std::vector<int>& frames, bool fec = false) {
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
    std::vector<std::vector<int16_t>> out;
    for (int f : frames) {
        out.emplace_back(960);
        const Bytes& p = voice(fec)[size_t(f)];
        EXPECT_EQ(opus_decode(decoder, p.data(), int(p.size()), out.back().data(), 960, 0), 960);
    }
    opus_decoder_destroy(decoder);
    return out;
}

std::vector<int> firstFrames(int count) {
    std::vector<int> frames(static_cast<size_t>(count));
    std::iota(frames.begin(), frames.end(), 0);
    return frames;
}

// Frame `frame` of the voice as the packet numbered `sequence`.
const RawMediaPacket& packetOf(RawMediaPacket& packet, int64_t frame, uint16_t sequence, bool fec = false) {
    const Bytes& payload = voice(fec)[size_t(frame)];
    packet.sequence = sequence;
    packet.gainCode = 5;
    packet.length = int32_t(payload.size());
    std::copy(payload.begin(), payload.end(), packet.payload);
    return packet;
}

struct Arrival { int frame; int64_t us; };
// Sent every 20 ms by a clock `ppm` fast, 0.5 ms on the way; `extra` adds a
// delay (negative: lost) and may add a copy.
std::vector<Arrival> trace(double ppm = 0, const std::function<int64_t(int)>& extra = nullptr,
                           const std::function<int64_t(int)>& copy = nullptr) {
    std::vector<Arrival> arrivals;
    for (int f = 0; f < kFrames; ++f) {
        const int64_t sent = kStartUs + std::llround(f * 20000.0 / (1 + ppm * 1e-6)) + 500;
        const int64_t delay = extra ? extra(f) : 0;
        if (delay >= 0) arrivals.push_back({f, sent + delay});
        if (copy && copy(f) >= 0) arrivals.push_back({f, sent + delay + copy(f)});
    }
    std::stable_sort(arrivals.begin(), arrivals.end(), [](auto& a, auto& b) { return a.us < b.us; });
    return arrivals;
}

struct Pulls {
    int32_t samples = 960;
    double phaseMs = 10;  // first pull, after the first packet's sending
    double ppm = 0;       // the puller's clock
    int64_t pauseFromUs = 0, pauseUntilUs = 0;  // no pulls meanwhile
    // Pulls when nextPullUs() says, what its clock ran since its first pull.
    bool follows = false;
};

struct Playback : PlayoutObserver {
    struct Start { int64_t frame; Frame kind; size_t at /* in `out` */; int64_t us; };
    void onFrameStart(int64_t sequence, Frame kind, int32_t offset, uint32_t) override {
        starts.push_back({sequence - kFirstSequence, kind, pulledBefore + size_t(offset), nowUs});
    }
    std::vector<int16_t> out;
    std::vector<Start> starts;
    struct Pull { int64_t us; double ratio; int32_t target, delay; };
    std::vector<Pull> pulls;  // those that wrote
    PlayoutCounters counters;
    int64_t allocated = 0;  // after the core's constructor
    size_t pulledBefore = 0;
    int64_t nowUs = 0;
};

// Pulls until the last arrival (or `untilUs`), counting what the core
// allocates after its constructor (the run's own records are reserved).
Playback play(const std::vector<Arrival>& arrivals, Pulls pulls = {}, int64_t untilUs = 0, PlayoutConfig config = {},
              bool fec = false) {
    if (untilUs == 0) untilUs = arrivals.back().us;
    Playback run;
    const double periodUs = pulls.samples * (1e6 / 48000) / (1 + pulls.ppm * 1e-6);
    run.out.reserve(size_t((untilUs - kStartUs) / periodUs * 1.01 + 2) * size_t(pulls.samples));
    run.pulls.reserve(size_t((untilUs - kStartUs) / periodUs * 1.01 + 2));
    run.starts.reserve(4096);
    voice(fec);
    AdaptivePlayout core(config);
    const int64_t before = allocations.load();
    core.setObserver(&run);
    core.startSession(4);
    size_t next = 0;
    RawMediaPacket packet;
    int64_t firstUs = -1;
    run.nowUs = kStartUs + std::llround(pulls.phaseMs * 1000);
    for (int j = 1; run.nowUs <= untilUs; ++j) {
        const int64_t at = run.nowUs;
        const int64_t nextUs = kStartUs + std::llround(pulls.phaseMs * 1000 + j * periodUs);
        run.nowUs = nextUs;
        if (at >= pulls.pauseFromUs && at < pulls.pauseUntilUs) continue;
        run.nowUs = at;
        for (; next < arrivals.size() && arrivals[next].us <= at; ++next) {
            const Arrival& a = arrivals[next];
            core.insert(packetOf(packet, a.frame, uint16_t(kFirstSequence + a.frame), fec), uint64_t(a.us));
        }
        const int32_t samples = firstUs < 0 || !pulls.follows ? pulls.samples :
            int32_t(std::floor((at - firstUs) * 0.048 * (1 + pulls.ppm * 1e-6)) + 960 - double(run.out.size()));
        run.pulledBefore = run.out.size();
        run.out.resize(run.pulledBefore + size_t(samples));
        const int32_t got = core.pull(run.out.data() + run.pulledBefore, samples, uint64_t(at));
        run.out.resize(run.pulledBefore + size_t(got));
        const PlayoutCounters& c = core.counters();
        if (got > 0) run.pulls.push_back({at, c.ratio, c.targetDelaySamples, c.currentDelaySamples});
        if (got > 0 && firstUs < 0) firstUs = at;
        run.nowUs = pulls.follows && core.nextPullUs() != 0 ? int64_t(core.nextPullUs()) : nextUs;
    }
    run.counters = core.counters();
    run.allocated = allocations.load() - before;
    return run;
}

constexpr int64_t kAny = -1;
// The target of clean arrivals, pulled 20 ms at a time `phaseMs` after
// each packet was sent (0.5 ms before it came): the pull read at the
// fastest ratio, the resampler's look-ahead, and how far the schedule has
// run past the end of the last packet due (1 ms of allowance and the
// margin, 120 samples, are within that).
constexpr int32_t cleanTarget(double phaseMs) {
    const int32_t phase = (static_cast<int32_t>((phaseMs - 0.5) * 48) + 960) % 960;
    return 965 + 16 + (phase >= 120 ? phase : phase + 960);
}
constexpr int32_t kCleanTarget = cleanTarget(10.0);

struct Scenario {
    const char* name;
    std::function<std::vector<Arrival>()> arrivals;
    Pulls pulls;
    int64_t settleMs;  // from then on every frame is played, in turn
    bool exact;        // ... and bit for bit the reference decode
    double ratioPpm;   // where the ratio settles (within 30 ppm, no wandering)
    int64_t lost, late, underrun, duplicate, discardedLate, reanchors, target;
    int64_t concealedAtMost = kAny, flushed = 0;
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, FramesCountersAndRatio) {
    const Scenario& s = GetParam();
    const Playback run = play(s.arrivals(), s.pulls);
    const PlayoutCounters& c = run.counters;
    const int64_t settleUs = kStartUs + s.settleMs * 1000;
    int64_t lastPlayed = -1, previous = -1, played = 0;
    const auto reference = decodeInOrder(firstFrames(kFrames));
    for (const Playback::Start& start : run.starts) {
        if (start.kind == Frame::Played) {
            ASSERT_GT(start.frame, lastPlayed) << "out of order or twice";
            lastPlayed = start.frame;
            ++played;
        }
        if (start.us >= settleUs && start.frame < kFrames - 2) {
            EXPECT_EQ(start.frame, previous + 1) << "slip at " << start.us;
            if (s.lost <= 0 && s.late <= 0) { EXPECT_EQ(start.kind, Frame::Played) << start.frame; }
            if (s.exact && start.at + 960 <= run.out.size()) {
                ASSERT_TRUE(std::equal(reference[size_t(start.frame)].begin(), reference[size_t(start.frame)].end(),
                                       run.out.begin() + long(start.at))) << start.frame;
            }
        }
        previous = start.frame;
    }
    EXPECT_EQ(run.allocated, 0);
    EXPECT_EQ(uint64_t(played + (s.flushed > 0)), c.framesPlayed);  // a flush skips one decoded frame's start
    const struct { const char* name; int64_t want; uint64_t got; } expected[] = {
        {"lost", s.lost, c.concealedLost}, {"late", s.late, c.concealedLate},
        {"underrun", s.underrun, c.concealedUnderrun}, {"duplicate", s.duplicate, c.discardedDuplicate},
        {"discarded late", s.discardedLate, c.discardedLate}, {"reanchors", s.reanchors, c.reanchors},
        {"target", s.target, uint64_t(c.targetDelaySamples)}, {"flushed", s.flushed, c.discardedFlush},
        {"flushes", s.flushed > 0, c.flushes}, {"overflow", 0, c.discardedOverflow}};
    if (s.concealedAtMost != kAny) { EXPECT_LE(c.concealed(), uint64_t(s.concealedAtMost)); }
    for (const auto& e : expected) {
        if (e.want != kAny) { EXPECT_EQ(uint64_t(e.want), e.got) << e.name; }
    }
    if (!std::isnan(s.ratioPpm)) {
        double low = 1e9, high = -1e9;
        for (const Playback::Pull& p : run.pulls) {
            if (p.us < kStartUs + kFrames * 20000 - 10000000) continue;  // the last 10 s
            low = std::min(low, (p.ratio - 1) * 1e6);
            high = std::max(high, (p.ratio - 1) * 1e6);
        }
        EXPECT_NEAR(low, s.ratioPpm, 30);
        EXPECT_LT(high - low, 10) << "the ratio wanders";
        EXPECT_NEAR(c.currentDelaySamples, c.targetDelaySamples + 12, 24) << "the delay is not held";
    }
}

const double kFree = NAN;
std::vector<Arrival> steady() { return trace(); }
std::mt19937 seeded() { return std::mt19937(11); }

INSTANTIATE_TEST_SUITE_P(Playout, Scenarios, ::testing::Values(
    // Arrivals at every phase of the 20 ms pull, right on it included: the
    // delay sits just past the packets' arrival at the pulls' phase. At 5 and
    // 10 ms the pulls fall within the start allowance (10 ms and the margin),
    // so playout begins a frame later and sheds it, within about 5 s, once
    // the allowance has shrunk.
    Scenario{"phase0", steady, {960, 0.0}, 3000, true, 0, 0, 0, 0, 0, 0, 0, cleanTarget(0.0)},
    Scenario{"phase5", steady, {960, 5.0}, 6000, true, 0, 0, 0, 0, 0, 0, 0, cleanTarget(5.0)},
    Scenario{"phase10", steady, {960, 10.0}, 6000, true, 0, 0, 0, 0, 0, 0, 0, cleanTarget(10.0)},
    Scenario{"phase15", steady, {960, 15.0}, 3000, true, 0, 0, 0, 0, 0, 0, 0, cleanTarget(15.0)},
    Scenario{"phase19_9", steady, {960, 19.9}, 3000, true, 0, 0, 0, 0, 0, 0, 0, cleanTarget(19.9)},
    // Drift: the phase walks through the pull (300 ppm: 6 ms over the run).
    Scenario{"fast300", [] { return trace(300); }, {960, 0.5}, 10000, false, 300, 0, 0, 0, 0, 0, 0, kAny},
    Scenario{"slow300", [] { return trace(-300); }, {960, 0.5}, 10000, false, -300, 0, 0, 0, 0, 0, 0, kAny},
    // Begun at once, 11.5 ms after the packets: the delay grows by resampling, no frame inserted.
    Scenario{"fast300at12", [] { return trace(300); }, {960, 12.0}, 10000, false, 300, 0, 0, 0, 0, 0, 0, kAny},
    Scenario{"slow300at12", [] { return trace(-300); }, {960, 12.0}, 10000, false, -300, 0, 0, 0, 0, 0, 0, kAny},
    // Once the clocks are known apart (1.5 s) the delay covers every phase of
    // the pull; here the phase walks faster than resampling grows the delay,
    // and a shortfall of more than 10 ms where the pulls are is made up by a
    // frame inserted at once.
    Scenario{"fast3000", [] { return trace(3000); }, {960, 10.0}, 10000, false, 3000, 0, 0, kAny, 0, 0, 0, kAny, 1},
    Scenario{"slow3000", [] { return trace(-3000); }, {960, 10.0}, 10000, false, -3000, 0, 0, kAny, 0, 0, 0, kAny, 1},
    // A puller with its own clock, 3000 ppm either way, in its own sizes.
    // A puller that follows the packets keeps its phase through drift (the
    // walk of the first seconds undone): the delay is that of equal clocks,
    // give or take the sample its longer or shorter pulls read.
    Scenario{"follows", steady, {960, 15.0, 0, 0, 0, true}, 3000, true, 0, 0, 0, 0, 0, 0, 0, cleanTarget(15.0)},
    Scenario{"followsFast300", [] { return trace(300); }, {960, 15.0, 0, 0, 0, true}, 3000, false, 300, 0, 0, 0, 0, 0, 0, cleanTarget(15.0)},
    Scenario{"followsSlow300", [] { return trace(-300); }, {960, 15.0, 0, 0, 0, true}, 3000, false, -300, 0, 0, 0, 0, 0, 0, cleanTarget(15.0)},
    Scenario{"followsFast3000", [] { return trace(3000); }, {960, 15.0, 0, 0, 0, true}, 3000, false, 3000, 0, 0, 0, 0, 0, 0, cleanTarget(15.0) - 1},
    Scenario{"followsSlow3000", [] { return trace(-3000); }, {960, 15.0, 0, 0, 0, true}, 3000, false, -3000, 0, 0, 0, 0, 0, 0, cleanTarget(15.0) + 1},
    // ... and through reordering and jitter as well as a puller on the period.
    Scenario{"followsReorder", [] { return trace(0, [](int f) { return f % 10 == 3 ? int64_t{30000} : 0; }); },
             {960, 10.0, 0, 0, 0, true}, 2000, false, kFree, 0, kAny, kAny, 0, kAny, 0, kCleanTarget + 1920, kFrames / 200},
    Scenario{"followsJitter20", [] { auto r = seeded(); return trace(0, [r](int) mutable { return int64_t(r() % 20000); }); },
             {960, 10.0, 0, 0, 0, true}, 1000, false, kFree, 0, 0, 0, 0, 0, 0, kCleanTarget + 945},
    Scenario{"pull256fast", steady, {256, 3.0, 3000}, 10000, false, -3000, 0, 0, 0, 0, 0, 0, kAny},
    Scenario{"pull1024slow", steady, {1024, 3.0, -3000}, 10000, false, 3000, 0, 0, 0, 0, 0, 0, kAny},
    // Jitter up to 20 ms: the delay covers nearly all of it.
    Scenario{"jitter20", [] { auto r = seeded(); return trace(0, [r](int) mutable { return int64_t(r() % 20000); }); },
             {960, 10.0}, 1000, false, kFree, 0, 0, 0, 0, 0, 0, kCleanTarget + 945},
    // Every tenth frame held back 1.5 frames, across the wrap too: waited
    // for (two frames more) once the histogram has them (0.5 % of the
    // frames at most).
    Scenario{"reorder", [] { return trace(0, [](int f) { return f % 10 == 3 ? int64_t{30000} : 0; }); },
             {960, 10.0}, 2000, false, kFree, 0, kAny, kAny, 0, kAny, 0, kCleanTarget + 1920, kFrames / 200},
    // Copies 0..30 ms after the first, and every 50th a copy 300 ms later.
    Scenario{"duplicates", [] { return trace(0, nullptr, [](int f) { return f % 50 == 0 ? 300000 : f % 10 == 1 ? (f * 7919) % 30000 : -1; }); },
             {960, 10.0}, 6000, true, kFree, 0, 0, 0, 180, 0, 0, kCleanTarget},
    // Every 100th frame 150 ms late, and a copy 10 ms after it: late, the
    // copy a duplicate, and no reason to wait longer.
    Scenario{"late", [] { return trace(0, [](int f) { return f % 100 == 50 ? int64_t{150000} : 0; },
                                       [](int f) { return f % 100 == 50 ? 10000 : -1; }); },
             {960, 10.0}, 0, false, kFree, 0, 15, 0, 15, 15, 0, kCleanTarget},
    Scenario{"loss", [] { return trace(0, [](int f) { return f % 20 == 7 ? int64_t{-1} : 0; }); },
             {960, 10.0}, 0, false, kFree, 75, 0, 0, 0, 0, 0, kCleanTarget},
    // 2 s stall, then the held packets at once: those whose turn has passed
    // are dropped on arrival, playout goes on with the rest.
    Scenario{"stall", [] { return trace(0, [](int f) { return f >= 500 && f < 600 ? (600 - f) * int64_t{20000} : 0; }); },
             {960, 10.0}, 12500, false, kFree, 0, 100, 0, 0, 100, 0, kCleanTarget},
    // The phone stops for 3 s and goes on: playout follows its new timeline.
    Scenario{"pause", [] { return trace(0, [](int f) { return f >= 500 ? int64_t{3000000} : 0; }); },
             {960, 10.0}, 13500, false, kFree, 0, 0, kAny, 0, 0, 1, kCleanTarget},
    // The puller stops for half a second: at its next pull the excess is
    // skipped at once, whole packets counted as flushed, and playout goes on
    // at the target.
    Scenario{"pullerPause", steady, {960, 10.0, 0, kStartUs + 10000000, kStartUs + 10500000}, 10540, false, 0,
             0, 0, 0, 0, 0, 0, kCleanTarget, 0, 24}),
    [](const auto& info) { return std::string(info.param.name); });

// One packet and then silence: the frame, a full-level repeat, 15/16 down to
// 1/16, silence. A frame arriving mid-fade plays at full level and the next
// gap starts again at full level. Nothing at all comes out before the first
// frame.
TEST(FadeConcealment, ExactlyAsTheQueuePacedTick) {
    PlayoutConfig config;
    config.startJitterUs = 1000;  // the allowance of clean arrivals from the start: the ratio stays 1
    const Playback run = play({{0, kStartUs + 500}, {6, kStartUs + 120500}}, {960, 10.0}, kStartUs + 800000, config);
    const auto frames = decodeInOrder({0, 6});
    std::vector<int16_t> expected;
    auto append = [&](const std::vector<int16_t>& frame, int repeat) {
        std::vector<int16_t> copy(frame);
        if (repeat > 0) scalePcm(copy.data(), copy.data(), 960, std::max(0.0, (16 - repeat) / 16.0));
        expected.insert(expected.end(), copy.begin(), copy.end());
    };
    for (int repeat : {0, 0, 1, 2, 3, 4}) append(frames[0], repeat);
    for (int repeat : {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 40}) append(frames[1], repeat);
    ASSERT_FALSE(run.starts.empty());
    EXPECT_EQ(run.starts[0].frame, 0);
    EXPECT_EQ(run.starts[0].us, run.starts[0].us / 20000 * 20000 + 10000);
    EXPECT_LT(run.starts[0].at, 960u) << "the first write carries the first frame";
    EXPECT_TRUE(std::all_of(run.out.begin(), run.out.begin() + long(run.starts[0].at), [](int16_t s) { return s == 0; }));
    ASSERT_GE(run.out.size(), run.starts[0].at + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), run.out.begin() + long(run.starts[0].at)));
    EXPECT_EQ(run.counters.concealedLost, 5u);
    EXPECT_EQ(run.counters.framesPlayed, 2u);
}

// Isolated losses with in-band FEC sent: codec concealment rebuilds them far
// closer to what was lost than repeat-and-fade does.
TEST(CodecConcealment, RebuildsIsolatedLossesFromTheNextPacket) {
    PlayoutConfig config;
    config.startJitterUs = 1000;
    const auto lossy = trace(0, [](int f) { return f % 10 == 5 ? int64_t{-1} : 0; });
    const int64_t untilUs = kStartUs + 400 * 20000;
    const auto reference = decodeInOrder(firstFrames(400), true);
    auto snrOfLostFrames = [&](Concealment concealment) {
        config.concealment = concealment;
        const Playback run = play(lossy, {960, 10.0}, untilUs, config, true);
        EXPECT_EQ(run.counters.concealedLost, 40u);
        EXPECT_EQ(run.allocated, 0);
        double snr = 0;
        int frames = 0;
        for (const Playback::Start& start : run.starts) {
            if (start.kind != Frame::Concealed || start.at + 960 > run.out.size()) continue;
            double signal = 1, noise = 1;
            for (size_t i = 0; i < 960; ++i) {
                const double want = reference[size_t(start.frame)][i], got = run.out[start.at + i];
                signal += want * want;
                noise += (want - got) * (want - got);
            }
            snr += 10 * std::log10(signal / noise);
            ++frames;
        }
        EXPECT_GE(frames, 38);
        return snr / std::max(frames, 1);
    };
    const double codec = snrOfLostFrames(Concealment::Codec), fade = snrOfLostFrames(Concealment::Fade);
    EXPECT_GT(codec, 15.0);
    EXPECT_GT(codec, fade + 10.0);
}

}  // namespace
}  // namespace vexlink
