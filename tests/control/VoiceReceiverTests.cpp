#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <functional>

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
    bool open() override { ++opens; return true; }
    void close() override { ++closes; }
    bool decode(const uint8_t*, int32_t, int16_t*, int32_t&) override { return false; }
    int opens = 0;
    int closes = 0;
};

// One scripted read: the result to return (or a throw), the sample value and
// gain code to leave in the packet, and an optional side effect.
struct Step {
    int32_t result = 0;
    bool throws = false;
    int16_t sample = 1000;
    uint8_t gainCode = 5;
    std::function<void()> sideEffect;
};

Step fail(int32_t result) {
    Step s;
    s.result = result;
    return s;
}

Step voice(int16_t sample = 1000, uint8_t gainCode = 5) {
    Step s;
    s.sample = sample;
    s.gainCode = gainCode;
    return s;
}

class ScriptedSource final : public PacketSource {
public:
    int32_t readPacketV2(VoiceDecoder& d, VoicePacket& p) override { ++v2; return next(d, p); }
    int32_t readPacketV3(VoiceDecoder& d, VoicePacket& p) override { ++v3; return next(d, p); }
    int32_t readPacketV4(VoiceDecoder& d, VoicePacket& p) override { ++v4; return next(d, p); }

    std::deque<Step> steps;
    int v2 = 0, v3 = 0, v4 = 0;
    int32_t sampleCountSeen = -1;
    // Once the script runs out: the state the test's "controller" moves to.
    std::atomic<int32_t>* stateToLeave = nullptr;

    int calls() const { return v2 + v3 + v4; }

private:
    int32_t next(VoiceDecoder&, VoicePacket& p) {
        sampleCountSeen = p.sampleCount;
        if (steps.empty()) {
            if (stateToLeave != nullptr) stateToLeave->store(kStateDisconnecting);
            return -40;
        }
        Step s = steps.front();
        steps.pop_front();
        if (s.sideEffect) s.sideEffect();
        if (s.throws) throw SocketErrorException(0);
        for (int i = 0; i < kFrameSamples; ++i) p.samples[i] = s.sample;
        p.gainCode = s.gainCode;
        p.timestamp = 1000;
        return s.result;
    }
};

class VoiceReceiverTest : public ::testing::Test {
protected:
    VoiceReceiver receiver(int32_t version) {
        return VoiceReceiver(source, state, version, queue, stats);
    }

    std::atomic<int32_t> state{kStateConnected};
    ScriptedSource source;
    CountingDecoder decoder;
    PlayoutQueue queue;
    ReceptionStats stats;
    VoicePacket packet;
};

TEST_F(VoiceReceiverTest, ThreeAttemptsThenFailure) {
    source.steps = {fail(-40), fail(-50), fail(-40), voice()};
    EXPECT_FALSE(receiver(4).readVoicePacket(decoder, packet));
    EXPECT_EQ(source.v4, 3);
    EXPECT_EQ(source.sampleCountSeen, kFrameSamples);
}

TEST_F(VoiceReceiverTest, SucceedsOnTheThirdAttempt) {
    source.steps = {fail(-40), fail(-50), voice()};
    packet.sampleCount = 17;
    EXPECT_TRUE(receiver(3).readVoicePacket(decoder, packet));
    EXPECT_EQ(source.v3, 3);
    EXPECT_EQ(source.sampleCountSeen, kFrameSamples);  // reset before each attempt
}

TEST_F(VoiceReceiverTest, SocketErrorFailsAtOnce) {
    Step thrower;
    thrower.throws = true;
    source.steps = {thrower, voice()};
    EXPECT_FALSE(receiver(2).readVoicePacket(decoder, packet));
    EXPECT_EQ(source.v2, 1);
}

TEST_F(VoiceReceiverTest, StateChangeBetweenAttemptsFails) {
    Step leave;
    leave.result = -40;
    leave.sideEffect = [this] { state.store(kStateDisconnecting); };
    source.steps = {leave, voice()};
    EXPECT_FALSE(receiver(4).readVoicePacket(decoder, packet));
    EXPECT_EQ(source.calls(), 1);
}

TEST_F(VoiceReceiverTest, NotConnectedReadsNothing) {
    state.store(kStateDisconnecting);
    source.steps = {voice()};
    EXPECT_FALSE(receiver(4).readVoicePacket(decoder, packet));
    EXPECT_EQ(source.calls(), 0);
}

TEST_F(VoiceReceiverTest, VersionsSelectTheirReaders) {
    source.steps = {voice(), voice(), voice(), voice()};
    EXPECT_TRUE(receiver(2).readVoicePacket(decoder, packet));
    EXPECT_TRUE(receiver(3).readVoicePacket(decoder, packet));
    EXPECT_TRUE(receiver(4).readVoicePacket(decoder, packet));
    EXPECT_TRUE(receiver(7).readVoicePacket(decoder, packet));  // above 4 reads as 4
    EXPECT_EQ(source.v2, 1);
    EXPECT_EQ(source.v3, 1);
    EXPECT_EQ(source.v4, 2);
}

TEST_F(VoiceReceiverTest, VersionsWithoutALayoutFailAtOnce) {
    source.steps = {voice()};
    EXPECT_FALSE(receiver(1).readVoicePacket(decoder, packet));
    EXPECT_FALSE(receiver(0).readVoicePacket(decoder, packet));
    EXPECT_FALSE(receiver(-3).readVoicePacket(decoder, packet));
    EXPECT_EQ(source.calls(), 0);
}

TEST_F(VoiceReceiverTest, LoopQueuesUntilTheStateLeavesConnected) {
    source.steps = {voice(100), voice(200), voice(300)};
    source.stateToLeave = &state;
    const int32_t result = receiver(3).run(decoder);
    // The state changed inside a read: the loop reports the failure, which
    // the controller ignores because it is already disconnecting.
    EXPECT_EQ(result, kResultAborted);
    EXPECT_EQ(queue.size(), 3);
    EXPECT_EQ(stats.received, 3u);
    EXPECT_NE(stats.endTime, 0u);
    EXPECT_EQ(decoder.opens, 1);
    EXPECT_EQ(decoder.closes, 1);
    EXPECT_EQ(queue.popFront()->samples[0], 100);
    EXPECT_EQ(queue.popFront()->samples[5], 200);
}

TEST_F(VoiceReceiverTest, LoopEndsQuietlyWhenNotConnectedAtTheTop) {
    state.store(kStateDisconnecting);
    EXPECT_EQ(receiver(4).run(decoder), kResultOk);
    EXPECT_EQ(source.calls(), 0);
    EXPECT_EQ(decoder.opens, 1);
    EXPECT_EQ(decoder.closes, 1);
}

TEST_F(VoiceReceiverTest, NoPacketAtAllGivesNoAudio) {
    source.steps = {fail(-40), fail(-40), fail(-40)};
    EXPECT_EQ(receiver(4).run(decoder), kResultNoAudio);
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(stats.received, 0u);
}

TEST_F(VoiceReceiverTest, SilenceAfterVoiceGivesAborted) {
    source.steps = {voice(), voice(), fail(-40), fail(-40), fail(-40)};
    EXPECT_EQ(receiver(2).run(decoder), kResultAborted);
    EXPECT_EQ(queue.size(), 2);
    EXPECT_EQ(stats.received, 2u);
}

TEST_F(VoiceReceiverTest, VersionOneEndsAtOnceWithNoAudio) {
    source.steps = {voice()};
    EXPECT_EQ(receiver(1).run(decoder), kResultNoAudio);
    EXPECT_EQ(source.calls(), 0);
}

TEST_F(VoiceReceiverTest, Version4AppliesTheGainCodeAndFeedsTheJitterEstimate) {
    source.steps = {voice(1000, 0), voice(1000, 5), voice(1000, 6)};
    source.stateToLeave = &state;
    receiver(4).run(decoder);
    ASSERT_EQ(queue.size(), 3);
    auto muted = queue.popFront();
    auto unchanged = queue.popFront();
    auto doubled = queue.popFront();
    for (int i = 0; i < kFrameSamples; ++i) {
        ASSERT_EQ(muted->samples[i], 0);
        ASSERT_EQ(unchanged->samples[i], 1000);
        ASSERT_EQ(doubled->samples[i], 2000);
    }
    EXPECT_FALSE(stats.isFirstPacket);
    EXPECT_GE(stats.maxJitter, 10.0);
}

TEST_F(VoiceReceiverTest, Version3AppliesNoGainCodeAndLeavesTheJitterAlone) {
    source.steps = {voice(1000, 0)};
    source.stateToLeave = &state;
    receiver(3).run(decoder);
    ASSERT_EQ(queue.size(), 1);
    EXPECT_EQ(queue.popFront()->samples[100], 1000);
    EXPECT_TRUE(stats.isFirstPacket);
    EXPECT_EQ(stats.maxJitter, 0.0);
}

TEST_F(VoiceReceiverTest, Version7RunsTheVersion4Loop) {
    source.steps = {voice(1000, 0)};
    source.stateToLeave = &state;
    receiver(7).run(decoder);
    ASSERT_EQ(queue.size(), 1);
    EXPECT_EQ(queue.popFront()->samples[0], 0);  // gain code 0 applied
    EXPECT_GE(source.v4, 1);
}

}  // namespace
}  // namespace vexlink
