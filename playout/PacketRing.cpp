#include "playout/PacketRing.h"

#include <algorithm>
#include <cstring>

namespace vexlink {

namespace {
uint32_t powerOfTwoAtLeast(int32_t n) {
    uint32_t p = 1;
    while (p < static_cast<uint32_t>(std::max(n, 1)) && p < (1u << 20)) p <<= 1;
    return p;
}
}  // namespace

PacketRing::PacketRing(int32_t slots)
    : slots_(std::make_unique<Item[]>(powerOfTwoAtLeast(slots))), mask_(powerOfTwoAtLeast(slots) - 1) {}

PacketRing::~PacketRing() = default;

void PacketRing::beginSession(int32_t serverVersion) {
    version_.store(serverVersion, std::memory_order_relaxed);
    session_.store(session_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

bool PacketRing::push(const RawMediaPacket& packet, uint64_t arrivalUs) {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail - head_.load(std::memory_order_acquire) > mask_) {
        dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return false;
    }
    Item& item = slots_[tail & mask_];
    item.packet.sequence = packet.sequence;
    item.packet.timestamp = packet.timestamp;
    item.packet.gainCode = packet.gainCode;
    item.packet.length = std::clamp(packet.length, int32_t{0}, kMaxPacketPayload);
    std::memcpy(item.packet.payload, packet.payload, static_cast<size_t>(item.packet.length));
    item.arrivalUs = arrivalUs;
    item.session = session_.load(std::memory_order_relaxed);
    item.serverVersion = version_.load(std::memory_order_relaxed);
    tail_.store(tail + 1, std::memory_order_release);
    return true;
}

const PacketRing::Item* PacketRing::front() const {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head == tail_.load(std::memory_order_acquire)) return nullptr;
    return &slots_[head & mask_];
}

void PacketRing::pop() {
    const uint32_t head = head_.load(std::memory_order_relaxed);
    if (head != tail_.load(std::memory_order_acquire)) head_.store(head + 1, std::memory_order_release);
}

}  // namespace vexlink
