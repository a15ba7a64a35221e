#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "control/EventQueue.h"
#include "control/PlayoutQueue.h"

namespace vexlink {
namespace {

// A record tagged through `sequence`, with a stale link that the queue must
// overwrite. Records the queues still hold at the end are left to ASan/LSan.
std::unique_ptr<VoicePacket> packetWithSequence(uint32_t sequence) {
    auto packet = std::make_unique<VoicePacket>();
    packet->sequence = sequence;
    packet->next = reinterpret_cast<VoicePacket*>(0x1);  // the queue must clear a stale link
    return packet;
}

std::unique_ptr<ControllerEvent> event(int32_t code, int32_t result = 0) {
    auto e = std::make_unique<ControllerEvent>();
    e->code = code;
    e->result = result;
    e->next = reinterpret_cast<ControllerEvent*>(0x1);
    return e;
}

TEST(EventQueueTest, TakesInPostingOrderAndCounts) {
    EventQueue queue;
    queue.post(event(kEventConnect));
    queue.post(event(kEventDisconnectOnError, -28));
    queue.post(event(kEventQuit));
    EXPECT_EQ(queue.count(), 3);

    auto first = queue.take();
    EXPECT_EQ(first->code, kEventConnect);
    EXPECT_EQ(first->next, nullptr);
    auto second = queue.take();
    EXPECT_EQ(second->code, kEventDisconnectOnError);
    EXPECT_EQ(second->result, -28);
    EXPECT_EQ(queue.count(), 1);
    // Refill after the tail moved: the list must still link correctly.
    queue.post(event(kEventSendKeepAlive));
    EXPECT_EQ(queue.take()->code, kEventQuit);
    EXPECT_EQ(queue.take()->code, kEventSendKeepAlive);
    EXPECT_EQ(queue.count(), 0);
    queue.post(event(kEventDisconnect));
    EXPECT_EQ(queue.take()->code, kEventDisconnect);
}

TEST(EventQueueTest, NullPostIsIgnored) {
    EventQueue queue;
    queue.post(nullptr);
    EXPECT_EQ(queue.count(), 0);
}

TEST(EventQueueTest, TakeWaitsForAPostFromAnotherThread) {
    EventQueue queue;
    std::atomic<bool> taken{false};
    std::thread taker([&] {
        auto e = queue.take();
        EXPECT_EQ(e->code, kEventDisconnect);
        taken = true;
    });
    EXPECT_FALSE(taken.load());
    queue.post(event(kEventDisconnect));
    taker.join();
    EXPECT_TRUE(taken.load());
}

TEST(EventQueueTest, ManyProducersLoseNothingAndKeepEachProducersOrder) {
    EventQueue queue;
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < kEach; ++i) queue.post(event(p, i));
        });
    }
    std::vector<int> last(kProducers, -1);
    for (int n = 0; n < kProducers * kEach; ++n) {
        auto e = queue.take();
        ASSERT_GE(e->code, 0);
        ASSERT_LT(e->code, kProducers);
        EXPECT_EQ(e->result, last[e->code] + 1);
        last[e->code] = e->result;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(queue.count(), 0);
}

TEST(EventQueueTest, DestructorDeletesEventsNobodyTook) {
    // Run under ASan/LSan: a leak here fails the test.
    EventQueue queue;
    queue.post(event(kEventConnect));
    queue.post(event(kEventQuit));
}

TEST(PlayoutQueueTest, FifoWithCountAndClearedLinks) {
    PlayoutQueue queue;
    EXPECT_EQ(queue.popFront(), nullptr);
    queue.pushBack(packetWithSequence(1));
    queue.pushBack(packetWithSequence(2));
    queue.pushBack(packetWithSequence(3));
    EXPECT_EQ(queue.size(), 3);
    auto a = queue.popFront();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->sequence, 1u);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(queue.size(), 2);
    EXPECT_EQ(queue.popFront()->sequence, 2u);
    EXPECT_EQ(queue.popFront()->sequence, 3u);
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(queue.popFront(), nullptr);
    // Emptied queue accepts new packets (tail reset).
    queue.pushBack(packetWithSequence(4));
    EXPECT_EQ(queue.popFront()->sequence, 4u);
    queue.pushBack(nullptr);
    EXPECT_EQ(queue.size(), 0);
}

TEST(PlayoutQueueTest, ClearReleasesRecordsAndLeavesAUsableQueue) {
    PlayoutQueue queue;
    for (uint32_t i = 0; i < 5; ++i) queue.pushBack(packetWithSequence(i));
    queue.clear();  // ASan/LSan would report the five records if they leaked
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(queue.popFront(), nullptr);
    queue.pushBack(packetWithSequence(9));
    EXPECT_EQ(queue.size(), 1);
    EXPECT_EQ(queue.popFront()->sequence, 9u);
}

TEST(PlayoutQueueTest, DestructorReleasesRecords) {
    PlayoutQueue queue;
    queue.pushBack(packetWithSequence(1));
    queue.pushBack(packetWithSequence(2));
}

TEST(PlayoutQueueTest, ProducerAndConsumerThreadsKeepOrder) {
    PlayoutQueue queue;
    constexpr uint32_t kPackets = 5000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < kPackets; ++i) queue.pushBack(packetWithSequence(i));
    });
    uint32_t expected = 0;
    while (expected < kPackets) {
        auto p = queue.popFront();
        if (!p) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(p->sequence, expected);
        ++expected;
    }
    producer.join();
    EXPECT_EQ(queue.size(), 0);
}

}  // namespace
}  // namespace vexlink
