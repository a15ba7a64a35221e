#pragma once

#include <cstdint>

#include "transport/SocketErrorException.h"
#include "transport/WaitLimits.h"

namespace vexlink {

// Reliable, ordered byte stream to the phone's server (TCP or RFCOMM).
// The event thread opens it, runs the handshake and writes keep-alives; on
// Bluetooth the receive thread also reads voice through it (one reader and
// one writer at a time). Implementations' destructors call close().
class ControlStream {
public:
    virtual ~ControlStream() = default;

    // 0 on success, -10 on failure. Never throws.
    virtual int32_t open() = 0;
    // Releases the connection; harmless when closed; any number of times.
    virtual void close() = 0;
    // Returns once exactly `length` bytes are stored; length <= 0 returns at
    // once. Throws SocketErrorException on an error or when the peer closes.
    virtual void read(uint8_t* buffer, int32_t length) = 0;
    // Returns once all bytes are handed to the system; length <= 0 returns at
    // once. Throws SocketErrorException when a send fails.
    virtual void write(const uint8_t* buffer, int32_t length) = 0;

    // Bounds the waits of open() and read(): past the deadline, or once the
    // cancel signal is raised, open() fails and a read throws
    // SocketErrorException. The default limits (none) wait for as long as
    // the connection stays up. Used for the connect and the handshake only;
    // set while no other thread uses the stream.
    virtual void setWaitLimits(const WaitLimits& limits) { (void)limits; }

    // Makes a read that is waiting on another thread (and any later one) end
    // promptly with SocketErrorException, without releasing the descriptor.
    // Called by the teardown before it joins the receive thread.
    virtual void interrupt() {}
};

// Big-endian field operations; each issues exactly one read or write of the
// field's full width. Exceptions pass through unchanged.
uint8_t readU8(ControlStream& stream);
uint16_t readU16(ControlStream& stream);
uint32_t readU32(ControlStream& stream);
// Consumes exactly n bytes (nothing for n <= 0) through a small bounded
// buffer: n comes from the peer and is never used to size an allocation.
void skipBytes(ControlStream& stream, int32_t n);
void writeU8(ControlStream& stream, uint32_t value);
void writeU16(ControlStream& stream, uint32_t value);
void writeU32(ControlStream& stream, uint32_t value);

}  // namespace vexlink
