#include "playout/PacketBuffer.h"

#include <algorithm>
#include <cstring>

namespace vexlink {

PacketBuffer::PacketBuffer() : slots_(std::make_unique<Slot[]>(kCapacity)) {}

PacketBuffer::~PacketBuffer() = default;

void PacketBuffer::reset(int64_t base) {
    for (int32_t i = 0; i < kCapacity; ++i) slots_[i].used = false;
    base_ = base;
    count_ = 0;
}

PacketBuffer::Insert PacketBuffer::insert(int64_t sequence, const RawMediaPacket& packet) {
    if (sequence < base_) return Insert::Behind;
    if (sequence >= base_ + kCapacity) return Insert::Beyond;
    Slot& s = slot(sequence);
    if (s.used) return Insert::Duplicate;  // the window holds one sequence per slot
    s.used = true;
    s.sequence = sequence;
    // Header fields, then only the payload bytes that are there.
    s.packet.sequence = packet.sequence;
    s.packet.timestamp = packet.timestamp;
    s.packet.gainCode = packet.gainCode;
    s.packet.length = std::clamp(packet.length, int32_t{0}, kMaxPacketPayload);
    std::memcpy(s.packet.payload, packet.payload, static_cast<size_t>(s.packet.length));
    newest_ = count_ == 0 ? sequence : std::max(newest_, sequence);
    ++count_;
    return Insert::Stored;
}

const RawMediaPacket* PacketBuffer::find(int64_t sequence) const {
    if (sequence < base_ || sequence >= base_ + kCapacity) return nullptr;
    const Slot& s = slot(sequence);
    return s.used && s.sequence == sequence ? &s.packet : nullptr;
}

int32_t PacketBuffer::advanceTo(int64_t base) {
    int32_t released = 0;
    if (base <= base_) return 0;
    if (count_ > 0) {
        const int64_t last = std::min(base, base_ + kCapacity);
        for (int64_t q = base_; q < last && count_ > 0; ++q) {
            Slot& s = slot(q);
            if (s.used && s.sequence == q) {
                s.used = false;
                --count_;
                ++released;
            }
        }
    }
    base_ = base;
    return released;
}

bool PacketBuffer::lowerBase(int64_t base) {
    if (base >= base_) return true;
    if (count_ > 0 && newest_ - base >= kCapacity) return false;
    base_ = base;
    return true;
}

}  // namespace vexlink
