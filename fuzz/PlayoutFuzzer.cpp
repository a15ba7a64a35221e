// Drives the playout core with arbitrary packets, arrival times and pull
// sizes. Input: byte 0 picks the concealment and the server version; then
// records of one kind byte and its fields, big-endian:
//   kind even: a packet: sequence (2), arrival step in us (2), gain code (1),
//              payload length (2, cut to what is left), payload bytes;
//   kind odd:  a pull: size (2, 1..8192), clock step in us (2).
// Arrival and pull times each move on by their own steps, so the sender
// and the puller can be anywhere against each other.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "playout/AdaptivePlayout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexlink;
    if (size < 1) return 0;
    static AdaptivePlayout fade{PlayoutConfig{}};
    static AdaptivePlayout codec{[] {
        PlayoutConfig c;
        c.concealment = Concealment::Codec;
        return c;
    }()};
    static auto out = std::make_unique<int16_t[]>(8192);
    AdaptivePlayout& playout = data[0] & 1 ? codec : fade;
    playout.startSession(2 + (data[0] >> 1) % 4);
    RawMediaPacket packet;
    uint64_t arrival = 1000000, now = 1000000;
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(data[at] << 8 | data[at + 1]); };
    for (size_t offset = 1; offset < size;) {
        const uint8_t kind = data[offset++];
        if ((kind & 1) == 0) {
            if (offset + 7 > size) break;
            packet.sequence = static_cast<uint16_t>(u16(offset));
            arrival += u16(offset + 2);
            packet.gainCode = data[offset + 4];
            const size_t length = std::min<size_t>(u16(offset + 5), size - offset - 7);
            packet.length = static_cast<int32_t>(std::min<size_t>(length, kMaxPacketPayload));
            std::memcpy(packet.payload, data + offset + 7, static_cast<size_t>(packet.length));
            offset += 7 + length;
            playout.insert(packet, arrival);
        } else {
            if (offset + 4 > size) break;
            const int32_t samples = static_cast<int32_t>(1 + u16(offset) % 8192);
            now += u16(offset + 2);
            offset += 4;
            const int32_t got = playout.pull(out.get(), samples, now);
            if (got != 0 && got != samples) __builtin_trap();
        }
    }
    return 0;
}
