#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "media/RawMediaPacket.h"

namespace vexlink {

// Packets from the receive thread to the thread that pulls the playout,
// single producer, single consumer, without locks and without allocation
// after the constructor: the producer copies a packet and its arrival time
// into a free slot, the consumer reads slots in order and releases them.
// Neither side ever waits: when every slot is taken, the producer drops the
// packet and counts it.
//
// Sessions travel in band: every slot carries the number (and server
// version) of the session it was pushed in, so the consumer restarts its
// playout exactly between the last packet of one session and the first of
// the next, and drops what is left of an older one.
//
// Threads: beginSession() and push() on the producer side: the receive
// thread, or the thread that starts it before it runs. front(), pop(),
// session() on the consumer side only. dropped() from any thread.
class PacketRing {
public:
    struct Item {
        RawMediaPacket packet;
        uint64_t arrivalUs = 0;
        uint32_t session = 0;
        int32_t serverVersion = 4;
    };

    // Rounded up to a power of two.
    explicit PacketRing(int32_t slots = 64);
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    // Producer side.
    void beginSession(int32_t serverVersion);
    bool push(const RawMediaPacket& packet, uint64_t arrivalUs);

    // Consumer side. front() is null while the ring is empty.
    const Item* front() const;
    void pop();
    // The newest session begun, and its server version.
    uint32_t session() const { return session_.load(std::memory_order_acquire); }
    int32_t sessionVersion() const { return version_.load(std::memory_order_relaxed); }

    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<Item[]> slots_;
    uint32_t mask_;
    std::atomic<uint32_t> head_{0};  // next slot to read; written by the consumer
    std::atomic<uint32_t> tail_{0};  // next slot to fill; written by the producer
    std::atomic<uint32_t> session_{0};
    std::atomic<int32_t> version_{4};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace vexlink
