#pragma once

#include <atomic>

#include "transport/ControlStream.h"

namespace vexlink {

// ControlStream over one TCP connection to the phone's control port.
class WinSockStream final : public ControlStream {
public:
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

private:
    int socket_ = -1;
    const char* serverAddr_;
    int32_t port_;
    int32_t idleLimitMs_ = 0;
};

}  // namespace vexlink
