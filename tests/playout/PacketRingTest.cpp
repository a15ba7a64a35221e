// The ring between the receive thread and the puller, and the puller's side
// that feeds the playout core from it.

#include <gtest/gtest.h>

#include <thread>

#include "playout/AdaptivePlayout.h"
#include "playout/PacketRing.h"
#include "playout/RingPlayout.h"

namespace vexlink {
namespace {

RawMediaPacket packet(uint16_t sequence, int32_t length = 40) {
    RawMediaPacket p;
    p.sequence = sequence;
    p.length = length;
    for (int32_t i = 0; i < length; ++i) p.payload[i] = uint8_t(sequence + i);
    return p;
}

// Two real threads: whatever the timing, the consumer sees every packet it
// gets once, in order, whole, tagged with the session it was pushed in, and
// every packet is either received or counted as dropped.
TEST(PacketRingTest, ProducerAndConsumerOnTheirOwnThreads) {
    PacketRing ring(16);
    constexpr int kPackets = 20000;
    std::thread producer([&] {
        for (int i = 0; i < kPackets; ++i) {
            if (i == kPackets / 2) ring.beginSession(3);
            ring.push(packet(uint16_t(i), 1 + i % 1024), uint64_t(i));
        }
    });
    int received = 0, last = -1;
    while (received + int(ring.dropped()) < kPackets || ring.front() != nullptr) {
        const PacketRing::Item* item = ring.front();
        if (item == nullptr) {
            std::this_thread::yield();
            continue;
        }
        const int i = int(item->arrivalUs);
        ASSERT_GT(i, last);
        ASSERT_EQ(item->packet.sequence, uint16_t(i));
        ASSERT_EQ(item->packet.length, 1 + i % 1024);
        ASSERT_EQ(item->packet.payload[item->packet.length - 1], uint8_t(i + item->packet.length - 1));
        ASSERT_EQ(item->session, i < kPackets / 2 ? 0u : 1u);
        ASSERT_EQ(item->serverVersion, i < kPackets / 2 ? 4 : 3);
        last = i;
        ++received;
        ring.pop();
    }
    producer.join();
    EXPECT_EQ(received + int(ring.dropped()), kPackets);
}

TEST(PacketRingTest, FullRingDropsAndCounts) {
    PacketRing ring(60);  // 64 slots
    for (int i = 0; i < 70; ++i) EXPECT_EQ(ring.push(packet(uint16_t(i)), 0), i < 64);
    EXPECT_EQ(ring.dropped(), 6u);
    ring.pop();
    EXPECT_TRUE(ring.push(packet(70), 0));
    EXPECT_EQ(ring.front()->packet.sequence, 1);
}

// A new session restarts the playout between the two sessions' packets;
// leftovers of the old one never reach the new one.
TEST(RingPlayoutTest, SessionsRestartThePlayoutInOrder) {
    PacketRing ring;
    AdaptivePlayout playout;
    RingPlayout feeder(ring, playout);
    int16_t out[960];
    ring.push(packet(0), 1000);
    EXPECT_EQ(feeder.pull(out, 960, 30000), 960);
    EXPECT_EQ(playout.counters().framesPlayed, 1u);
    ring.push(packet(1), 21000);  // left over when the next session begins
    ring.beginSession(3);
    EXPECT_EQ(feeder.pull(out, 960, 50000), 0);  // restarted, nothing yet
    EXPECT_EQ(playout.counters().framesPlayed + playout.counters().discarded(), 0u);
    ring.push(packet(900), 300000);
    ring.push(packet(5), 300001);  // an old number in the new session: late there
    EXPECT_EQ(feeder.pull(out, 960, 340000), 960);
    EXPECT_EQ(playout.counters().framesPlayed, 1u);
    EXPECT_EQ(playout.counters().discardedLate, 1u);
}

}  // namespace
}  // namespace vexlink
