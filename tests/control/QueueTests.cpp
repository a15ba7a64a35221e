#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "control/EventQueue.h"
#include "control/PlayoutQueue.h"

namespace vexlink {
namespace {

// Records carry a stale link that the queues must overwrite. Records still
// queued at the end of a test are left to the queues' destructors; ASan's
// leak check fails the test if they are not released.
std::unique_ptr<ControllerEvent> event(int32_t code, int32_t result = 0) {
    auto e = std::make_unique<ControllerEvent>();
    e->code = code;
    e->result = result;
    e->next = reinterpret_cast<ControllerEvent*>(0x1);
    return e;
}

std::unique_ptr<VoicePacket> packet(uint32_t sequence) {
    auto p = std::make_unique<VoicePacket>();
    p->sequence = sequence;
    p->next = reinterpret_cast<VoicePacket*>(0x1);
    return p;
}

TEST(EventQueueTest, FifoAcrossEmptyingAndRefilling) {
    EventQueue queue;
    queue.post(nullptr);
    queue.post(event(kEventConnect));
    queue.post(event(kEventDisconnectOnError, -28));
    EXPECT_EQ(queue.count(), 2);
    auto first = queue.take();
    EXPECT_EQ(first->code, kEventConnect);
    EXPECT_EQ(first->next, nullptr);
    queue.post(event(kEventSendKeepAlive));  // appended behind the moved head
    EXPECT_EQ(queue.take()->result, -28);
    EXPECT_EQ(queue.take()->code, kEventSendKeepAlive);
    EXPECT_EQ(queue.count(), 0);
    queue.post(event(kEventDisconnect));  // the tail was reset when it emptied
    queue.post(event(kEventQuit));
    EXPECT_EQ(queue.take()->code, kEventDisconnect);
}

TEST(EventQueueTest, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
    EventQueue queue;
    constexpr int kProducers = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < kEach; ++i) queue.post(event(p, i));
        });
    }
    // take() blocks until the producers deliver.
    std::vector<int> last(kProducers, -1);
    for (int n = 0; n < kProducers * kEach; ++n) {
        auto e = queue.take();
        ASSERT_EQ(e->result, last.at(static_cast<size_t>(e->code)) + 1);
        last[static_cast<size_t>(e->code)] = e->result;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(queue.count(), 0);
}

TEST(PlayoutQueueTest, FifoClearAndRefill) {
    PlayoutQueue queue;
    EXPECT_EQ(queue.popFront(), nullptr);
    queue.pushBack(nullptr);
    for (uint32_t i = 1; i <= 3; ++i) queue.pushBack(packet(i));
    EXPECT_EQ(queue.size(), 3);
    auto first = queue.popFront();
    EXPECT_EQ(first->sequence, 1u);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(queue.popFront()->sequence, 2u);
    EXPECT_EQ(queue.popFront()->sequence, 3u);
    EXPECT_EQ(queue.popFront(), nullptr);
    queue.pushBack(packet(4));
    EXPECT_EQ(queue.popFront()->sequence, 4u);

    for (uint32_t i = 0; i < 5; ++i) queue.pushBack(packet(i));
    queue.clear();  // releases the five records
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(queue.popFront(), nullptr);
    queue.pushBack(packet(9));
    queue.pushBack(packet(10));  // left for the destructor
    EXPECT_EQ(queue.popFront()->sequence, 9u);
}

TEST(PlayoutQueueTest, ReceiveAndTimerThreadsKeepOrder) {
    PlayoutQueue queue;
    constexpr uint32_t kPackets = 5000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < kPackets; ++i) queue.pushBack(packet(i));
    });
    for (uint32_t expected = 0; expected < kPackets;) {
        if (auto p = queue.popFront()) {
            ASSERT_EQ(p->sequence, expected++);
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    EXPECT_EQ(queue.size(), 0);
}

}  // namespace
}  // namespace vexlink
