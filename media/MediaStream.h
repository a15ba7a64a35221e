#pragma once

#include <cstdint>

namespace vexlink {

// Byte source of one connection's voice packets. Opened and closed on the
// event thread, read only by the receive thread; the two never overlap,
// except interrupt(), which the event thread may call while a read waits.
class MediaStream {
public:
    virtual ~MediaStream() = default;
    virtual int32_t open() { return 0; }  // 0 or -10
    virtual void close() {}
    // Stores exactly `count` bytes and returns 0, or returns -20 (nothing
    // within the wait) / -30 (too few bytes buffered), or throws
    // SocketErrorException.
    virtual int32_t read(uint8_t* buffer, int32_t count) = 0;
    // Forgets buffered bytes.
    virtual void reset() {}
    // Makes a waiting read (and every later one) end promptly with
    // SocketErrorException, so the receive thread can be joined.
    virtual void interrupt() {}
    // Datagrams discarded since open() because they did not come from the
    // phone. Read it after the receive thread has ended.
    virtual uint32_t foreignDatagrams() const { return 0; }
};

}  // namespace vexlink
