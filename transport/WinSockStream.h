#pragma once

#include <atomic>

#include "transport/ControlStream.h"

namespace vexlink {

// ControlStream over one TCP connection to the phone's control port.
// The event thread opens, reads, writes and closes it; interrupt() may come
// from another thread while a read waits.
class WinSockStream final : public ControlStream {
public:
    // Length of one wait for data inside read(); a silent but connected peer
    // only starts the next wait (unless an idle limit is set).
    static constexpr int32_t kReadSliceMs = 5000;

    // serverAddr is not owned and must outlive the stream.
    WinSockStream(const char* serverAddr, int32_t port);
    ~WinSockStream() override;

    int32_t open() override;
    void close() override;
    void read(uint8_t* buffer, int32_t length) override;
    void write(const uint8_t* buffer, int32_t length) override;
    void setReadIdleLimit(int32_t ms) override { idleLimitMs_ = ms; }
    void interrupt() override;

    int socketFd() const { return socket_; }
    int32_t readIdleLimit() const { return idleLimitMs_; }

private:
    std::atomic<int> socket_{-1};
    const char* serverAddr_;
    int32_t port_;
    std::atomic<int32_t> idleLimitMs_{0};
    std::atomic<bool> interrupted_{false};
};

}  // namespace vexlink
