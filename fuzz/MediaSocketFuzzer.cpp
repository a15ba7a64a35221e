// Sends arbitrary datagram sequences to a real UDP media stream on the
// loopback interface, from the phone's address or a stranger's, and reads
// them back with the packet reader of each layout. Slow (every datagram
// crosses the kernel); MediaPacketFuzzer covers the readers in memory.
// Input: byte 0 picks the layout (2, 3 or 4); then records of a 16-bit
// big-endian word and that many bytes (its low 15 bits), one datagram each,
// sent by the stranger at 127.0.0.2 when the top bit is set and by the phone
// at 127.0.0.1 otherwise.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "audio/OpusVoiceDecoder.h"
#include "media/PacketReader.h"
#include "media/VoicePacket.h"
#include "media/WifiMediaStream.h"
#include "transport/PeerAddressFilter.h"
#include "transport/SocketErrorException.h"

namespace {

struct Rig {
    vexlink::WifiMediaStream stream{0};
    vexlink::OpusVoiceDecoder decoder{48000, 1};
    int senders[2] = {-1, -1};  // the phone's, the stranger's
    sockaddr_in target{};

    Rig() {
        if (stream.open() != 0) __builtin_trap();
        stream.setReceiveWaitMs(0);
        decoder.open();
        sockaddr_in6 bound{};
        socklen_t length = sizeof bound;
        getsockname(stream.socketFd(), reinterpret_cast<sockaddr*>(&bound), &length);
        target.sin_family = AF_INET;
        target.sin_port = bound.sin6_port;
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (uint32_t i = 0; i < 2; ++i) {
            senders[i] = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + i);
            if (bind(senders[i], reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) __builtin_trap();
        }
        stream.setPhoneAddress(vexlink::PeerAddressFilter(reinterpret_cast<const sockaddr*>(&target), sizeof target));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexlink;
    static Rig rig;
    if (size < 1) return 0;
    const int version = 2 + data[0] % 3;
    size_t offset = 1;
    rig.stream.reset();
    VoicePacket packet;
    int datagrams = 0;
    while (offset + 2 <= size && datagrams < 64) {
        const bool stranger = (data[offset] & 0x80) != 0;
        size_t length = (static_cast<size_t>(data[offset] & 0x7F) << 8) | data[offset + 1];
        offset += 2;
        if (length > size - offset) length = size - offset;
        sendto(rig.senders[stranger ? 1 : 0], data + offset, length, 0, reinterpret_cast<const sockaddr*>(&rig.target),
               sizeof rig.target);
        offset += length;
        ++datagrams;
        // Read whatever this datagram (and what is still buffered) yields.
        for (int attempt = 0; attempt < 8; ++attempt) {
            packet.sampleCount = kFrameSamples;
            int32_t result = 0;
            try {
                result = version == 4   ? readPacketV4(rig.stream, rig.decoder, packet)
                         : version == 3 ? readPacketV3(rig.stream, rig.decoder, packet)
                                        : readPacketV2(rig.stream, rig.decoder, packet);
            } catch (const SocketErrorException&) {
                break;
            }
            if (result == -40) break;
        }
    }
    // Drain anything left so the next input starts clean.
    uint8_t sink[2048];
    while (recv(rig.stream.socketFd(), sink, sizeof sink, MSG_DONTWAIT) >= 0) {
    }
    rig.stream.reset();
    return 0;
}
