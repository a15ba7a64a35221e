#pragma once

#include <cstdint>
#include <memory>

#include "media/RawMediaPacket.h"

namespace vexlink {

// Packets waiting for their turn, kept by extended sequence number in a
// window of kCapacity slots that starts at the next frame to play (the
// base). A slot is chosen by the sequence number, so inserting, finding and
// telling a duplicate take constant time and the slots stay in order by
// construction. All slots are allocated by the constructor.
// Threads: one thread only.
class PacketBuffer {
public:
    static constexpr int32_t kCapacity = 64;  // 1.28 s of 20 ms frames

    enum class Insert { Stored, Duplicate, Behind, Beyond };

    PacketBuffer();
    ~PacketBuffer();
    PacketBuffer(const PacketBuffer&) = delete;
    PacketBuffer& operator=(const PacketBuffer&) = delete;

    // Empties the buffer; the window starts at `base`.
    void reset(int64_t base);
    int64_t base() const { return base_; }
    int32_t count() const { return count_; }

    // Behind: below the base; Beyond: base + kCapacity or later. Neither is stored.
    Insert insert(int64_t sequence, const RawMediaPacket& packet);
    const RawMediaPacket* find(int64_t sequence) const;
    // Moves the base on, releasing what lies before it; returns how many
    // packets were released.
    int32_t advanceTo(int64_t base);
    // Moves the base back (a packet older than the first one arrived before
    // playout began); false when a stored packet would leave the window.
    bool lowerBase(int64_t base);

private:
    struct Slot {
        int64_t sequence = 0;
        bool used = false;
        RawMediaPacket packet;
    };
    Slot& slot(int64_t sequence) const { return slots_[static_cast<uint64_t>(sequence) % kCapacity]; }

    std::unique_ptr<Slot[]> slots_;
    int64_t base_ = 0;
    int64_t newest_ = 0;  // highest stored sequence, meaningful while count_ > 0
    int32_t count_ = 0;
};

}  // namespace vexlink
