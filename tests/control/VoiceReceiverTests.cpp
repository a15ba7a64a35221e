#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <vector>

#include "audio/VoiceDecoder.h"
#include "control/ControllerTypes.h"
#include "control/PacketSource.h"
#include "control/PlayoutQueue.h"
#include "control/VoiceReceiver.h"
#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "transport/SocketErrorException.h"

namespace vexlink {
namespace {

class CountingDecoder final : public VoiceDecoder {
public:
    bool open() override { return ++opens > 0; }
    void close() override { ++closes; }
    bool decode(const uint8_t*, int32_t, int16_t*, int32_t&) override { return false; }
    int opens = 0;
    int closes = 0;
};

// One scripted read. kThrow raises SocketErrorException, kLeave returns a
// failure after the controller moved on to Disconnecting.
constexpr int32_t kThrow = 1000;
constexpr int32_t kLeave = 1001;
struct Read {
    int32_t result = 0;
    int16_t sample = 1000;
    uint8_t gainCode = 5;
};

// Plays the connection's readers from a script; once it runs out, the
// controller has left Connected.
class ScriptedSource final : public PacketSource {
public:
    explicit ScriptedSource(std::atomic<int32_t>& state) : state_(state) {}
    int32_t readPacketV2(VoiceDecoder&, VoicePacket& p) override { return next(2, p); }
    int32_t readPacketV3(VoiceDecoder&, VoicePacket& p) override { return next(3, p); }
    int32_t readPacketV4(VoiceDecoder&, VoicePacket& p) override { return next(4, p); }

    std::deque<Read> script;
    std::vector<int> versionsRead;

private:
    int32_t next(int version, VoicePacket& p) {
        versionsRead.push_back(version);
        EXPECT_EQ(p.sampleCount, kFrameSamples);  // set before every attempt
        Read r = script.empty() ? Read{kLeave} : script.front();
        if (!script.empty()) script.pop_front();
        if (r.result == kThrow) throw SocketErrorException(0);
        if (r.result == kLeave) {
            state_.store(kStateDisconnecting);
            return -40;
        }
        for (int16_t& s : p.samples) s = r.sample;
        p.gainCode = r.gainCode;
        return r.result;
    }
    std::atomic<int32_t>& state_;
};

class VoiceReceiverTest : public ::testing::Test {
protected:
    VoiceReceiver receiver(int32_t version) { return VoiceReceiver(source, state, version, queue, stats); }
    bool readOnce(int32_t version) {
        VoicePacket packet;
        packet.sampleCount = 17;
        return receiver(version).readVoicePacket(decoder, packet);
    }

    std::atomic<int32_t> state{kStateConnected};
    ScriptedSource source{state};
    CountingDecoder decoder;
    PlayoutQueue queue;
    ReceptionStats stats;
};

struct ReadCase {
    const char* name;
    int32_t version;
    std::vector<int32_t> results;
    bool succeeds;
    std::vector<int> readsExpected;
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class ReadVoicePacketTest : public VoiceReceiverTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadVoicePacketTest, AttemptsAndOutcome) {
    for (int32_t r : GetParam().results) source.script.push_back({r});
    EXPECT_EQ(readOnce(GetParam().version), GetParam().succeeds);
    EXPECT_EQ(source.versionsRead, GetParam().readsExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadVoicePacketTest,
    ::testing::Values(ReadCase{"FirstAttempt", 4, {0}, true, {4}},
                      ReadCase{"ThirdAttempt", 3, {-40, -50, 0}, true, {3, 3, 3}},
                      ReadCase{"ThreeFailures", 2, {-40, -50, -40, 0}, false, {2, 2, 2}},
                      ReadCase{"SocketErrorAtOnce", 4, {kThrow, 0}, false, {4}},
                      ReadCase{"StateChangeStops", 4, {kLeave, 0}, false, {4}},
                      ReadCase{"Version7ReadsAs4", 7, {0}, true, {4}},
                      ReadCase{"Version1FailsAtOnce", 1, {0}, false, {}},
                      ReadCase{"Version0FailsAtOnce", 0, {0}, false, {}},
                      ReadCase{"NegativeVersionFails", -3, {0}, false, {}}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(VoiceReceiverTest, NotConnectedReadsNothing) {
    state.store(kStateDisconnecting);
    EXPECT_FALSE(readOnce(4));
    EXPECT_TRUE(source.versionsRead.empty());
    // The loop itself ends quietly and still opens and closes its decoder.
    EXPECT_EQ(receiver(4).run(decoder), kResultOk);
    EXPECT_EQ(decoder.opens, 1);
    EXPECT_EQ(decoder.closes, 1);
}

struct LoopCase {
    const char* name;
    int32_t version;
    std::vector<Read> script;
    int32_t result;             // what the loop asks the controller for
    std::vector<int16_t> queued;  // first sample of each queued frame
    bool feedsJitter;
};

void PrintTo(const LoopCase& c, std::ostream* out) { *out << c.name; }

class ReceiveLoopTest : public VoiceReceiverTest, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(ReceiveLoopTest, QueuesCountsAndEnds) {
    const LoopCase& c = GetParam();
    source.script.assign(c.script.begin(), c.script.end());
    EXPECT_EQ(receiver(c.version).run(decoder), c.result);
    std::vector<int16_t> queued;
    while (auto p = queue.popFront()) {
        for (int16_t s : p->samples) ASSERT_EQ(s, p->samples[0]);  // level applied to the whole frame
        queued.push_back(p->samples[0]);
    }
    EXPECT_EQ(queued, c.queued);
    EXPECT_EQ(stats.received, c.queued.size());
    EXPECT_NE(stats.endTime, 0u);
    EXPECT_EQ(!stats.isFirstPacket, c.feedsJitter);
    EXPECT_EQ(decoder.opens, 1);
    EXPECT_EQ(decoder.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveLoopTest,
    ::testing::Values(
        // The state changed inside a read: the loop reports a failure, which
        // the controller ignores because it is already disconnecting.
        LoopCase{"V3UntilDisconnect", 3, {{0, 100}, {0, 200}, {0, 300}}, kResultAborted, {100, 200, 300}, false},
        LoopCase{"NoPacketIsNoAudio", 4, {{-40}, {-40}, {-40}}, kResultNoAudio, {}, false},
        LoopCase{"SilenceAfterVoiceIsAborted", 2, {{0}, {0}, {-40}, {-40}, {-40}}, kResultAborted, {1000, 1000}, false},
        LoopCase{"SocketErrorAfterVoice", 4, {{0}, {kThrow}}, kResultAborted, {1000}, true},
        LoopCase{"Version1IsNoAudioAtOnce", 1, {{0}}, kResultNoAudio, {}, false},
        // Version 4 applies each packet's gain code: 0 mutes, 5 leaves, 6 doubles.
        LoopCase{"V4GainCodes", 4, {{0, 1000, 0}, {0, 1000, 5}, {0, 1000, 6}}, kResultAborted, {0, 1000, 2000}, true},
        LoopCase{"V7IsV4", 7, {{0, 1000, 0}}, kResultAborted, {0}, true},
        LoopCase{"V3IgnoresGainCode", 3, {{0, 1000, 0}}, kResultAborted, {1000}, false}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return std::string(info.param.name); });

TEST_F(VoiceReceiverTest, FullQueueDiscardsTheOldestFrame) {
    // A sender far faster than real time (nothing plays meanwhile): the queue
    // stays at its bound, keeps the newest frames, and counts what it lost.
    const int total = VoiceReceiver::kMaxQueuedFrames + 10;
    for (int i = 0; i < total; ++i) source.script.push_back({0, static_cast<int16_t>(i)});
    VoiceReceiver r = receiver(3);
    EXPECT_EQ(r.run(decoder), kResultAborted);
    EXPECT_EQ(queue.size(), VoiceReceiver::kMaxQueuedFrames);
    EXPECT_EQ(r.overflowDrops(), 10u);
    EXPECT_EQ(stats.received, static_cast<uint32_t>(total));
    EXPECT_EQ(queue.popFront()->samples[0], 10);
}

}  // namespace
}  // namespace vexlink
