#pragma once

// A ControlStream over one end of a connected stream socket pair, standing
// in for the RFCOMM link in tests: reads wait without limit (as on
// Bluetooth) unless an idle limit is set, and interrupt() shuts the socket
// down so that a waiting read throws.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "transport/ControlStream.h"

namespace vexlink::test {

class SocketPairStream final : public ControlStream {
public:
    explicit SocketPairStream(int fd) : fd_(fd) {}
    ~SocketPairStream() override { close(); }

    int32_t open() override { return fd_.load() >= 0 ? 0 : -10; }

    void close() override {
        const int fd = fd_.exchange(-1);
        if (fd >= 0) ::close(fd);
    }

    void read(uint8_t* buffer, int32_t length) override {
        int32_t got = 0;
        while (got < length) {
            const int fd = fd_.load();
            if (fd < 0 || interrupted_.load()) throw SocketErrorException(0);
            pollfd p{fd, POLLIN, 0};
            const int limit = idleLimitMs_.load();
            const int ready = ::poll(&p, 1, limit > 0 ? limit : -1);
            if (ready == 0) throw SocketErrorException(0);  // idle too long
            if (ready < 0) continue;
            const ssize_t n = ::recv(fd, buffer + got, static_cast<size_t>(length - got), 0);
            if (n <= 0 || interrupted_.load()) throw SocketErrorException(0);
            got += static_cast<int32_t>(n);
        }
    }

    void write(const uint8_t* buffer, int32_t length) override {
        int32_t sent = 0;
        while (sent < length) {
            const int fd = fd_.load();
            if (fd < 0) throw SocketErrorException(0);
            const ssize_t n = ::send(fd, buffer + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
            if (n <= 0) throw SocketErrorException(0);
            sent += static_cast<int32_t>(n);
        }
    }

    void setReadIdleLimit(int32_t ms) override { idleLimitMs_.store(ms); }

    void interrupt() override {
        interrupted_.store(true);
        const int fd = fd_.load();
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }

private:
    std::atomic<int> fd_;
    std::atomic<int32_t> idleLimitMs_{0};
    std::atomic<bool> interrupted_{false};
};

}  // namespace vexlink::test
