#pragma once

#include <cstdint>

#include "media/PacketReader.h"

namespace vexlink {

// Results inside the connection code; the controller translates them.
enum ConnectionResult : int32_t {
    kConnOk = 0,
    kConnBadTransport = -1,      // transport type none of 1, 3, 4
    kConnMismatch = -10,         // reply of another type, or status 1, 10, 12, 13
    kConnRefused = -20,          // any other non-zero status
    kConnControlOpenFailed = -30,
    kConnMediaOpenFailed = -31,
    kConnMediaTimeout = kPacketReadTimeout,      // media read: no datagram within 3000 ms
    kConnMediaBadPacket = kPacketReadBadPacket,  // media read: short data, wrong type, bad length
};

// Status byte of a reply -> connection result.
int32_t statusToConnectionResult(uint8_t status);

}  // namespace vexlink
