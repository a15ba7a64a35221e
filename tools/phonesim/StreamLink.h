#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vexlink::phonesim {

class WakeFd;

// A connected, non-blocking stream socket (the TCP control connection or a
// Bluetooth-like link) that two threads may write: the control thread's
// replies and, on a link, the media thread's packets. Each writeAll goes out
// whole before another starts. The control thread owns the descriptor and
// closes it only after the media thread has been joined.
class StreamLink {
public:
    explicit StreamLink(int fd);
    ~StreamLink();
    StreamLink(const StreamLink&) = delete;
    StreamLink& operator=(const StreamLink&) = delete;

    int fd() const { return fd_; }
    // Writes all bytes, waiting for room; false when the write fails or one
    // of the wake descriptors is signalled first. *written gets the count
    // that went out.
    bool writeAll(const uint8_t* data, size_t size, const WakeFd& stop, const WakeFd* stop2 = nullptr,
                  size_t* written = nullptr);
    // Close, or reset (SO_LINGER 0) when `reset`; idempotent.
    void close(bool reset);

private:
    std::mutex writeMutex_;
    int fd_;
};

}  // namespace vexlink::phonesim
