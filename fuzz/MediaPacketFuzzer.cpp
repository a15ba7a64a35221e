// Reads arbitrary datagram sequences with the packet reader of each layout,
// through the media stream's buffering and the real Opus decoder, all in
// memory. Input: byte 0 picks the layout (2, 3 or 4); then records of a
// 16-bit big-endian length and that many bytes, one datagram each.
#include <cstddef>
#include <cstdint>

#include "MemoryMediaStream.h"
#include "audio/OpusVoiceDecoder.h"
#include "media/PacketReader.h"
#include "media/VoicePacket.h"

namespace {

// Decoding dominates the cost of an input; past a few packets the readers
// and the buffering repeat themselves, so an input ends there.
constexpr int kMaxPacketsPerInput = 8;

vexlink::OpusVoiceDecoder& decoder() {
    static vexlink::OpusVoiceDecoder opus(48000, 1);
    static const bool opened = opus.open();
    (void)opened;
    return opus;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexlink;
    if (size < 1) return 0;
    const int version = 2 + data[0] % 3;
    fuzz::MemoryMediaStream stream(data + 1, size - 1);
    VoicePacket packet;
    // Every read takes at least one record or buffered byte, or ends the
    // input with -40 or the exception; the bound only guards against a
    // reader that stops consuming.
    int packets = 0;
    for (size_t reads = 0; reads <= size && packets < kMaxPacketsPerInput; ++reads) {
        packet.sampleCount = kFrameSamples;
        int32_t result = 0;
        try {
            result = version == 4   ? readPacketV4(stream, decoder(), packet)
                     : version == 3 ? readPacketV3(stream, decoder(), packet)
                                    : readPacketV2(stream, decoder(), packet);
        } catch (const SocketErrorException&) {
            break;  // an empty datagram: the receive thread would stop here too
        }
        if (result == -40) break;
        if (result == 0) ++packets;
    }
    return 0;
}
