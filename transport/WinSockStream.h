#pragma once

#include <atomic>

#include "transport/ControlStream.h"
#include "transport/SocketUtil.h"

namespace vexlink {

// ControlStream over one TCP connection to the phone's control port.
// The event thread opens, reads, writes and closes it; interrupt() may come
// from another thread while a read waits. With wait limits set, open()
// (resolution included) and read() end at their deadline or on cancel.
class WinSockStream final : public ControlStream {
public:
    // Length of one wait for data inside read(); a silent but connected peer
    // only starts the next wait (unless wait limits are set).
    static constexpr int32_t kReadSliceMs = 5000;

    // serverAddr is not owned and must outlive the stream.
    WinSockStream(const char* serverAddr, int32_t port);
    ~WinSockStream() override;

    int32_t open() override;
    void close() override;
    void read(uint8_t* buffer, int32_t length) override;
    void write(const uint8_t* buffer, int32_t length) override;
    void setWaitLimits(const WaitLimits& limits) override { limits_ = limits; }
    void interrupt() override;

    int socketFd() const { return socket_; }
    const WaitLimits& waitLimits() const { return limits_; }
    // Tests: a resolver in place of getaddrinfo. Set before open().
    void setLookup(AddressLookup lookup) { lookup_ = std::move(lookup); }

private:
    std::atomic<int> socket_{-1};
    const char* serverAddr_;
    int32_t port_;
    WaitLimits limits_;  // event thread only
    AddressLookup lookup_;
    std::atomic<bool> interrupted_{false};
};

}  // namespace vexlink
