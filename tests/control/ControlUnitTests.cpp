// The queues, the playout tick and the receive logic, driven directly.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <deque>
#include <thread>
#include <type_traits>
#include <vector>

#include "audio/VoiceDecoder.h"
#include "control/AdaptiveFeed.h"
#include "control/AdaptiveTick.h"
#include "control/ControllerTypes.h"
#include "control/EventQueue.h"
#include "control/FrameSink.h"
#include "control/LatencyProbe.h"
#include "control/PacketSource.h"
#include "control/PlayoutQueue.h"
#include "control/PlayoutTick.h"
#include "control/VoiceReceiver.h"
#include "media/RawMediaPacket.h"
#include "media/ReceptionStats.h"
#include "playout/PacketRing.h"
#include "settings/Settings.h"
#include "transport/SocketErrorException.h"

namespace vexlink {
namespace {

// Records carry a stale link the queues must overwrite; those left queued are
// the destructors' to release (ASan's leak check).
std::unique_ptr<ControllerEvent> event(int32_t code, int32_t result = 0) {
    auto e = std::make_unique<ControllerEvent>();
    e->code = code;
    e->result = result;
    e->next = reinterpret_cast<ControllerEvent*>(0x1);
    return e;
}
// A frame spanning the range, so truncation of scaled values shows on both signs.
std::unique_ptr<VoicePacket> packet(int32_t n) {
    auto p = std::make_unique<VoicePacket>();
    for (int i = 0; i < kFrameSamples; ++i) p->samples[i] = int16_t(n + (i % 97) * 331 - 16000);
    p->sequence = uint32_t(n);
    p->next = reinterpret_cast<VoicePacket*>(0x1);
    return p;
}

TEST(QueueTest, FifoAcrossEmptyingRefillingAndClearing) {
    EventQueue events;
    events.post(nullptr);
    events.post(event(kEventConnect));
    events.post(event(kEventDisconnectOnError, -28));
    EXPECT_EQ(events.count(), 2);
    EXPECT_EQ(events.take()->next, nullptr);
    events.post(event(kEventSendKeepAlive));  // behind the moved head
    EXPECT_EQ(events.take()->result, -28);
    EXPECT_EQ(events.take()->code, kEventSendKeepAlive);
    events.post(event(kEventDisconnect));  // the tail was reset when it emptied
    events.post(event(kEventQuit));
    EXPECT_EQ(events.take()->code, kEventDisconnect);

    PlayoutQueue packets;
    EXPECT_EQ(packets.popFront(), nullptr);
    packets.pushBack(nullptr);
    for (int i = 1; i <= 3; ++i) packets.pushBack(packet(i));
    EXPECT_EQ(packets.size(), 3);
    EXPECT_EQ(packets.popFront()->next, nullptr);
    EXPECT_EQ(packets.popFront()->sequence, 2u);
    EXPECT_EQ(packets.popFront()->sequence, 3u);
    packets.pushBack(packet(4));
    packets.clear();
    EXPECT_EQ(packets.popFront(), nullptr);
    packets.pushBack(packet(9));
    packets.pushBack(packet(10));  // left for the destructor
    EXPECT_EQ(packets.popFront()->sequence, 9u);

    // A bounded push hands back the oldest once the limit is passed.
    EXPECT_EQ(packets.pushBackBounded(packet(11), 2), nullptr);
    EXPECT_EQ(packets.pushBackBounded(nullptr, 2), nullptr);
    const auto oldest = packets.pushBackBounded(packet(12), 2);
    ASSERT_NE(oldest, nullptr);
    EXPECT_EQ(oldest->sequence, 10u);
    EXPECT_EQ(oldest->next, nullptr);
    EXPECT_EQ(packets.size(), 2);
    EXPECT_EQ(packets.popFront()->sequence, 11u);
    EXPECT_EQ(packets.pushBackBounded(packet(13), 1)->sequence, 12u);
    EXPECT_EQ(packets.popFront()->sequence, 13u);
    EXPECT_EQ(packets.popFront(), nullptr);
}

// Events are numbered in the order they enter the queue, which is the order
// they leave it.
TEST(QueueTest, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
    EventQueue events;
    PlayoutQueue packets;
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p) producers.emplace_back([&, p] {
        for (int i = 0; i < 2000; ++i) p == 2 ? packets.pushBack(packet(i)) : (void)events.post(event(p, i));
    });
    std::vector<int> last(2, -1);
    for (int n = 0; n < 4000; ++n) {  // take() blocks until the producers deliver
        auto e = events.take();
        ASSERT_EQ(e->result, last.at(size_t(e->code))++ + 1);
        ASSERT_EQ(e->order, uint64_t(n + 1));
    }
    for (uint32_t expected = 0; expected < 2000;) {
        if (auto p = packets.popFront()) ASSERT_EQ(p->sequence, expected++);
        else std::this_thread::yield();
    }
    for (auto& t : producers) t.join();
}

using Frame = std::vector<int16_t>;
struct RecordingSink final : FrameSink {
    void playSamples(const int16_t* samples, int32_t n) override { frames.emplace_back(samples, samples + n); }
    std::vector<Frame> frames;
};
Frame scaled(int32_t n, double gain) {
    auto p = packet(n);
    Frame out(kFrameSamples);
    for (int i = 0; i < kFrameSamples; ++i) out[size_t(i)] = int16_t(p->samples[i] * gain);  // toward zero
    return out;
}

class PlayoutTickTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::resetForTest();
        tick.releaseLastFrame();
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) tick.tick();
    }
    PlayoutQueue queue;
    RecordingSink sink;
    ReceptionStats stats;
    PlayoutTick tick{queue, sink, stats};
};

TEST_F(PlayoutTickTest, SilentBeforeTheFirstPacketThenFreshRepeatFadeAndSilence) {
    ticks(30);
    EXPECT_TRUE(sink.frames.empty());
    queue.pushBack(packet(100));
    ticks(1 + 1 + 15 + 200);
    ASSERT_EQ(sink.frames.size(), 217u);
    EXPECT_EQ(sink.frames[0], scaled(100, 1.0));  // fresh
    EXPECT_EQ(sink.frames[1], scaled(100, 1.0));  // the first repeat at full level
    for (int step = 1; step <= 15; ++step) EXPECT_EQ(sink.frames[size_t(1 + step)], scaled(100, (16 - step) / 16.0));
    for (size_t i = 17; i < sink.frames.size(); ++i) ASSERT_EQ(sink.frames[i], Frame(kFrameSamples, 0)) << i;
    EXPECT_EQ(tick.figures().freshFrames, 1u);
    EXPECT_EQ(tick.figures().concealedTicks, 216u);
}

// Filling (a later connection of a reconnecting run): silence only until the first frame.
TEST_F(PlayoutTickTest, FillingWritesSilenceBeforeTheFirstPacket) {
    tick.setFillWhileEmpty(true);
    ticks(2);
    queue.pushBack(packet(100));
    ticks(2);
    const Frame silence(kFrameSamples, 0);
    EXPECT_EQ(sink.frames, (std::vector{silence, silence, scaled(100, 1.0), scaled(100, 1.0)}));
}

TEST_F(PlayoutTickTest, PacketMidFadePlaysAtFullLevelAndRestartsTheFade) {
    queue.pushBack(packet(1));
    ticks(6);  // fresh, full, 15/16 .. 12/16
    queue.pushBack(packet(2000));
    ticks(3);
    EXPECT_EQ(sink.frames[6], scaled(2000, 1.0));
    EXPECT_EQ(sink.frames[7], scaled(2000, 1.0));
    EXPECT_EQ(sink.frames[8], scaled(2000, 15.0 / 16));
}

TEST_F(PlayoutTickTest, TrimsOneFrameAtTheSixthFreshTickInARow) {
    for (int i = 0; i < 5; ++i) queue.pushBack(packet(i));
    ticks(5);  // frames waited at every tick, but five in a row: no trim
    EXPECT_EQ(stats.dropped, 0u);
    for (int i = 10; i < 14; ++i) queue.pushBack(packet(i));
    ticks(1);  // the sixth: plays 10, discards 11
    EXPECT_EQ(queue.size(), 2);
    EXPECT_EQ(stats.dropped, 1u);
    ticks(1);  // the run started again: plays 12, discards nothing
    EXPECT_EQ(queue.size(), 1);
    EXPECT_EQ(stats.dropped, 1u);
    EXPECT_EQ(sink.frames[5], scaled(10, 1.0));
    EXPECT_EQ(sink.frames[6], scaled(12, 1.0));
    EXPECT_EQ(tick.figures().droppedFrames, 1u);
}

// Counts the writes and records where each real frame went.
struct PlayedFrames final : FrameSink, LatencyProbe {
    void playSamples(const int16_t*, int32_t n) override {
        ++writes;
        samples += uint64_t(n);
    }
    void onArrival(const VoicePacket&, uint64_t) override {}
    void onWritten(const VoicePacket&, uint64_t) override {}
    void onFramePlayed(uint16_t sequence, uint32_t, uint64_t outputSample, uint64_t) override {
        played.emplace_back(sequence, outputSample);
    }
    int writes = 0;
    uint64_t samples = 0;
    std::vector<std::pair<uint16_t, uint64_t>> played;
};

TEST_F(PlayoutTickTest, ReportsEachRealFrameAtItsPlaceInTheConnectionsOutput) {
    PlayedFrames probe;
    tick.setLatencyProbe(&probe);
    auto push = [&](int32_t n) {
        auto p = packet(n);
        p->rawSequence = uint16_t(n);
        queue.pushBack(std::move(p));
    };
    ticks(2);  // nothing written: the stream starts with the first frame
    push(10);
    ticks(2);  // 10, then a repeat that takes its place in the stream unreported
    for (int32_t n = 11; n <= 18; ++n) push(n);
    ticks(7);  // the sixth fresh tick in a row discards 17
    tick.releaseLastFrame();
    push(20);
    ticks(1);
    const std::vector<std::pair<uint16_t, uint64_t>> expected = {
        {10, 0}, {11, 1920}, {12, 2880}, {13, 3840}, {14, 4800}, {15, 5760}, {16, 6720}, {18, 7680}, {20, 0}};
    EXPECT_EQ(probe.played, expected);
}

// The status figures: counts, and the loudest sample and mean wait of the last ten frames.
TEST_F(PlayoutTickTest, PublishesCountsLevelAndDelayForTheStatusLine) {
    for (int i = 0; i < 3; ++i) queue.pushBack(packet(0));  // peak 16000
    const std::pair<int, std::array<int32_t, 4>> steps[] = {
        {1, {1, 0, 16000, 50}},    // two wait: 2 x 20 ms and half a tick
        {2, {3, 0, 16000, 30}},    // (50 + 30 + 10) / 3
        {20, {23, 20, 6000, 10}},  // the last ten are repeats at 6/16 down to 0
        {6, {29, 26, 0, 10}},      // 200 ms of silence
        {1, {30, 26, 32767, 10}},  // -32768 is full scale
    };
    for (const auto& [n, expected] : steps) {
        if (expected[2] == 32767) queue.pushBack(packet(-16768));  // down to -32768
        ticks(n);
        const PlayoutStatus s = tick.status();
        EXPECT_EQ((std::array<int32_t, 4>{int32_t(s.playedFrames), int32_t(s.concealedFrames), s.peakLevel, s.delayMs}),
                  expected);
    }
}

// The receive side, fed by a scripted packet source.
constexpr int32_t kThrow = 1000;  // the read raises SocketErrorException
constexpr int32_t kLeave = 1001;  // the controller left Connected during the read
struct Read {
    int32_t result = 0;
    int16_t sample = 1000;
    uint8_t gainCode = 5;
};

class VoiceReceiverTest : public ::testing::Test, public PacketSource, public VoiceDecoder {
protected:
    bool open() override { return ++opens > 0; }
    void close() override { ++closes; }
    bool decode(const uint8_t*, int32_t, int16_t*, int32_t&) override { return false; }
    int32_t readPacketV2(VoiceDecoder&, VoicePacket& p) override { return next(2, p); }
    int32_t readPacketV3(VoiceDecoder&, VoicePacket& p) override { return next(3, p); }
    int32_t readPacketV4(VoiceDecoder&, VoicePacket& p) override { return next(4, p); }
    int32_t readRawPacketV2(RawMediaPacket& p) override { return next(2, p); }
    int32_t readRawPacketV3(RawMediaPacket& p) override { return next(3, p); }
    int32_t readRawPacketV4(RawMediaPacket& p) override { return next(4, p); }
    // Decoded reads get the sample level, raw ones carry it as their sequence number.
    template <typename Packet>
    int32_t next(int version, Packet& p) {
        versionsRead.push_back(version);
        const Read r = script.empty() ? Read{kLeave} : script.front();
        if (!script.empty()) script.pop_front();
        if (r.result == kThrow) throw SocketErrorException(0);
        if (r.result == kLeave) state = kStateDisconnecting;
        if constexpr (std::is_same_v<Packet, VoicePacket>) {
            EXPECT_EQ(p.sampleCount, kFrameSamples);  // set before every attempt
            std::fill(std::begin(p.samples), std::end(p.samples), r.sample);
        } else {
            p.sequence = uint16_t(r.sample);
        }
        p.gainCode = r.gainCode;
        return r.result == kLeave ? -40 : r.result;
    }
    VoiceReceiver receiver(int32_t version) { return VoiceReceiver(*this, state, version, queue, stats); }

    std::atomic<int32_t> state{kStateConnected};
    std::deque<Read> script;
    std::vector<int> versionsRead;
    int opens = 0, closes = 0;
    PlayoutQueue queue;
    ReceptionStats stats;
};

struct ReadCase {
    const char* name;
    int32_t version;
    std::vector<int32_t> results;
    bool succeeds;
    std::vector<int> reads;
};
class ReadVoicePacketTest : public VoiceReceiverTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadVoicePacketTest, AttemptsAndOutcome) {
    for (int32_t r : GetParam().results) script.push_back({r});
    VoicePacket packet;
    packet.sampleCount = 17;
    EXPECT_EQ(receiver(GetParam().version).readVoicePacket(*this, packet), GetParam().succeeds);
    EXPECT_EQ(versionsRead, GetParam().reads);
}
INSTANTIATE_TEST_SUITE_P(Cases, ReadVoicePacketTest,
                         ::testing::Values(ReadCase{"ThirdAttempt", 3, {-40, -50, 0}, true, {3, 3, 3}},
                                           ReadCase{"ThreeFailures", 2, {-40, -50, -40, 0}, false, {2, 2, 2}},
                                           ReadCase{"SocketErrorAtOnce", 4, {kThrow, 0}, false, {4}},
                                           ReadCase{"StateChangeStops", 4, {kLeave, 0}, false, {4}},
                                           ReadCase{"Version7ReadsAs4", 7, {0}, true, {4}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct LoopCase {
    const char* name;
    int32_t version;
    std::vector<Read> script;
    int32_t result;               // what the loop asks the controller for
    std::vector<int16_t> queued;  // the level of each queued frame
    bool feedsJitter;
};
class ReceiveLoopTest : public VoiceReceiverTest, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(ReceiveLoopTest, QueuesCountsAndEnds) {
    const LoopCase& c = GetParam();
    script.assign(c.script.begin(), c.script.end());
    EXPECT_EQ(receiver(c.version).run(*this), c.result);
    std::vector<int16_t> queued;
    while (auto p = queue.popFront()) {
        for (int16_t s : p->samples) ASSERT_EQ(s, p->samples[0]);
        queued.push_back(p->samples[0]);
    }
    EXPECT_EQ(queued, c.queued);
    EXPECT_EQ(stats.received, c.queued.size());
    EXPECT_NE(stats.endTime, 0u);
    EXPECT_EQ(!stats.isFirstPacket, c.feedsJitter);
    EXPECT_EQ(opens, 1);
    EXPECT_EQ(closes, 1);
}

// The adaptive playout's loop: the same reads, ends and counts, but raw
// packets into the ring, gain codes left to the playout; a full ring
// refuses (and counts) a packet that still counts as received.
TEST_P(ReceiveLoopTest, RawReadsGoToTheRing) {
    const LoopCase& c = GetParam();
    script.assign(c.script.begin(), c.script.end());
    script.push_front({0, 7});  // refused: the ring below holds one packet
    if (c.queued.empty()) script.pop_front();
    PacketRing ring(1);
    ring.beginSession(c.version);
    stats.endTime = 0;
    EXPECT_EQ(receiver(c.version).run(ring), c.result);
    EXPECT_EQ(stats.received, c.queued.empty() ? 0u : c.queued.size() + 1);
    EXPECT_EQ(ring.dropped(), c.queued.empty() ? 0u : c.queued.size());
    EXPECT_EQ(ring.front() != nullptr, !c.queued.empty());
    EXPECT_EQ(ring.front() != nullptr ? ring.front()->packet.sequence : 7u, 7u);
    EXPECT_NE(stats.endTime, 0u);
    EXPECT_EQ(!stats.isFirstPacket, c.feedsJitter);
    EXPECT_EQ(opens, 0);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveLoopTest,
    ::testing::Values(
        // Left Connected inside a read: a failure the disconnecting controller ignores.
        LoopCase{"V3UntilDisconnect", 3, {{0, 100}, {0, 200}}, kResultAborted, {100, 200}, false},
        LoopCase{"NoPacketIsNoAudio", 4, {{-40}, {-40}, {-40}}, kResultNoAudio, {}, false},
        LoopCase{"SilenceAfterVoiceIsAborted", 2, {{0}, {-40}, {-40}, {-40}}, kResultAborted, {1000}, false},
        LoopCase{"SocketErrorAfterVoice", 4, {{0}, {kThrow}}, kResultAborted, {1000}, true},
        LoopCase{"Version1IsNoAudioAtOnce", 1, {{0}}, kResultNoAudio, {}, false},
        // Version 4 applies each packet's gain code: 0 mutes, 5 leaves, 6 doubles.
        LoopCase{"V4GainCodes", 4, {{0, 1000, 0}, {0, 1000, 5}, {0, 1000, 6}}, kResultAborted, {0, 1000, 2000}, true},
        LoopCase{"V3IgnoresGainCode", 3, {{0, 1000, 0}}, kResultAborted, {1000}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VoiceReceiverTest, FullQueueDiscardsTheOldestFrame) {
    // A sender far faster than real time with nothing playing: the queue stays
    // at its bound, keeps the newest frames and counts what it lost.
    const int total = VoiceReceiver::kMaxQueuedFrames + 10;
    for (int i = 0; i < total; ++i) script.push_back({0, int16_t(i)});
    VoiceReceiver r = receiver(3);
    EXPECT_EQ(r.run(*this), kResultAborted);
    EXPECT_EQ(queue.size(), VoiceReceiver::kMaxQueuedFrames);
    EXPECT_EQ(r.overflowDrops(), 10u);
    EXPECT_EQ(stats.received, uint32_t(total));
    EXPECT_EQ(queue.popFront()->samples[0], 10);
}

// The adaptive playout on a hand-driven clock: packets on a 20 ms schedule
// (payloads empty: the decoder conceals them, which the counts ignore).
struct AdaptiveDrive {
    AdaptiveFeed feed{PlayoutConfig{}};
    int16_t out[kFrameSamples];
    void push(uint16_t sequence, uint64_t arrivalMs) { pushUs(sequence, arrivalMs * 1000); }
    void pushUs(uint16_t sequence, uint64_t arrivalUs) {
        RawMediaPacket p;
        p.sequence = sequence;
        p.timestamp = uint32_t(sequence) * 20;
        feed.ring().push(p, arrivalUs);
    }
};

// What -d reports as dropped: packets the ring refused and those the
// playout discarded, of this connection only; waiting ones do not count.
struct DropCase {
    const char* name;
    std::vector<std::pair<uint16_t, uint64_t>> extra;  // (sequence, arrival ms) besides 0..49 on time
    bool pulled;
    int withheld;  // not on time (-1: none)
    uint32_t dropped;
};
class AdaptiveDropTest : public ::testing::TestWithParam<DropCase> {};

TEST_P(AdaptiveDropTest, DroppedCountsWhatThePlayoutThrewAway) {
    AdaptiveDrive d;
    d.feed.beginConnection(4);  // an earlier connection's figures must not count
    for (uint16_t q = 0; q < 10; ++q) d.push(q, q * 20);
    for (uint64_t t = 0; t <= 200; t += 20) d.feed.pull(d.out, kFrameSamples, t * 1000);
    EXPECT_EQ(d.feed.endConnection(), 0u);
    d.feed.beginConnection(4);
    auto script = GetParam().extra;
    for (uint16_t q = 0; q < 50; ++q) {
        if (q != GetParam().withheld) script.emplace_back(q, q * 20);
    }
    std::stable_sort(script.begin(), script.end(), [](auto& a, auto& b) { return a.second < b.second; });
    size_t next = 0;
    for (uint64_t t = 0; t <= 1500; t += 20) {
        for (; next < script.size() && script[next].second <= t; ++next) d.push(script[next].first, script[next].second);
        if (GetParam().pulled) d.feed.pull(d.out, kFrameSamples, t * 1000);
    }
    for (; next < script.size(); ++next) d.push(script[next].first, script[next].second);
    EXPECT_EQ(d.feed.endConnection(), GetParam().dropped);
    EXPECT_EQ(d.feed.pull(d.out, kFrameSamples, 2000000), 0);  // between connections
    EXPECT_EQ(d.feed.status().lateFrames, GetParam().withheld >= 0 ? 1u : 0u);  // for the status line
}
INSTANTIATE_TEST_SUITE_P(
    Cases, AdaptiveDropTest,
    ::testing::Values(DropCase{"OnTime", {}, true, -1, 0},
                      DropCase{"TenCopies", {{10, 205}, {11, 225}, {12, 245}, {13, 265}, {14, 285}, {15, 305},
                                             {16, 325}, {17, 345}, {18, 365}, {19, 385}}, true, -1, 10},
                      DropCase{"OneLate", {{20, 900}}, true, 20, 1},
                      // Copies fill the ring (duplicates), 6 more and packet 31 are refused.
                      DropCase{"BurstOfCopies",
                               std::vector<std::pair<uint16_t, uint64_t>>(AdaptiveFeed::kRingSlots + 6, {30, 610}),
                               true, -1, AdaptiveFeed::kRingSlots + 7},
                      // A full ring waits (not counted), the rest of the copies is refused.
                      DropCase{"NobodyPulls",
                               std::vector<std::pair<uint16_t, uint64_t>>(AdaptiveFeed::kRingSlots - 44, {5, 110}),
                               false, -1, 6}),
    [](const auto& info) { return std::string(info.param.name); });

// The 20 ms tick with the first packet at every phase against the ticks:
// the first frame goes out when the playout is ready (the tick looks every
// 5 ms until the first packet is there), so the delay from the first
// arrival to the first write is the same at every phase, and the frame's
// first sample is within the first half millisecond of that write.

// The adaptive tick over a feed, recording what it writes and where each
// frame went, with a connection begun.
struct TickRig {
    explicit TickRig(bool fillWhileEmpty = false) {
        tick.setLatencyProbe(&sink);
        d.feed.beginConnection(4);
        tick.beginConnection(fillWhileEmpty);
    }
    AdaptiveDrive d;
    PlayedFrames sink;
    AdaptiveTick tick{d.feed, sink};
};

TEST(AdaptiveTickTest, FirstFrameWaitsTheSameAtEveryPhaseAndFillingKeepsThePeriod) {
    std::vector<uint64_t> delaysUs;
    for (uint64_t phaseUs : {1000, 7000, 13500, 19900}) {
        TickRig rig;
        auto& [d, sink, tick] = rig;
        uint64_t at = 1000000, writtenAt = 0;
        for (int i = 0; i < 20 && sink.writes == 0; ++i) {
            for (uint16_t q = 0; q < 10; ++q) {
                if (1000000 + phaseUs + q * 20000 <= at) d.push(q, (1000000 + phaseUs + q * 20000) / 1000);
            }
            const uint64_t moved = tick.tick(at);
            writtenAt = at;
            ASSERT_TRUE(moved == 0 || (moved > at && moved <= at + AdaptiveTick::kMaxStepUs)) << moved - at;
            at = moved != 0 ? moved : at + 20000;
        }
        ASSERT_FALSE(sink.played.empty());
        EXPECT_EQ(sink.played[0].first, 0u);
        EXPECT_LE(sink.played[0].second, 24u);
        delaysUs.push_back(writtenAt - 1000000 - phaseUs);
    }
    for (uint64_t delay : delaysUs) EXPECT_NEAR(double(delay), double(delaysUs[0]), 1000.0);

    TickRig rig(true);  // keeping a device fed: silence at once, on the period until playout begins
    auto& [d, sink, tick] = rig;
    for (uint64_t t = 0; t < 100000; t += 20000) {
        if (t == 40000) d.push(0, 35);
        const uint64_t moved = tick.tick(t);
        if (t < 40000) { EXPECT_EQ(moved, 0u); }
    }
    EXPECT_EQ(sink.writes, 5);
    EXPECT_EQ(sink.samples, 5u * kFrameSamples);
}

// A phone whose clock runs apart from this machine's: the ticks follow its
// packets, so every frame is written the same short time after it was sent
// (a tick on the period would be up to 20 ms later at some phases), while
// the device gets exactly what it plays and no frame is skipped.
TEST(AdaptiveTickTest, TicksFollowAPhoneWhoseClockRunsApart) {
    for (double ppm : {-3000.0, -300.0, 300.0, 3000.0}) {
        TickRig rig;
        auto& [d, sink, tick] = rig;
        auto sentUs = [ppm](int q) { return uint64_t(1000000 + std::llround(q * 20000 / (1 + ppm * 1e-6))); };
        const int frames = 2000;  // 40 s
        double low = 1e9, high = 0;
        uint64_t at = 1000000, first = 0;
        int q = 0;
        while (q < frames) {
            for (; q < frames && sentUs(q) + 500 <= at; ++q) d.pushUs(uint16_t(q), sentUs(q) + 500);
            const size_t before = sink.played.size();
            const uint64_t moved = tick.tick(at);
            if (first == 0 && sink.writes > 0) first = at;
            if (first != 0) { ASSERT_EQ(sink.samples, (at - first) * 48 / 1000 + kFrameSamples) << ppm; }
            for (size_t i = before; i < sink.played.size(); ++i) {
                const uint16_t sequence = sink.played[i].first;
                ASSERT_EQ(sequence, i) << ppm << " a frame was skipped or repeated";
                if (sentUs(sequence) < 1000000 + 10000000) continue;  // the first 10 s
                low = std::min(low, double(at - sentUs(sequence)));
                high = std::max(high, double(at - sentUs(sequence)));
            }
            at = moved != 0 ? moved : at + 20000;
        }
        EXPECT_LT(high, 16000) << ppm;
        EXPECT_LT(high - low, 1000) << ppm;
    }
}

}  // namespace
}  // namespace vexlink
