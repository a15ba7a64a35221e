// Feeds arbitrary server replies to the client's handshake: every length
// field comes from the input, so nothing may be allocated or read past what
// the input holds, and every outcome must be a result code or the one
// exception type.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "MemoryControlStream.h"
#include "media/MediaStream.h"
#include "session/ServerConnection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexlink;
    ServerConnection connection;
    connection.adoptStreams(std::make_unique<fuzz::MemoryControlStream>(data, size), nullptr, 49152);
    try {
        int32_t serverVersion = 0;
        if (connection.sendHello(serverVersion) != 0) return 0;
        if (connection.sendSetup(2, 2) != 0) return 0;
        if (connection.sendStart() != 0) return 0;
        connection.sendKeepAlive();
        (void)connection.sendCommand104();
    } catch (const SocketErrorException&) {
    }
    return 0;
}
