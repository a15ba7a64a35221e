#include "transport/BtDeviceStream.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "transport/BtServiceSearch.h"
#include "transport/SocketUtil.h"

namespace vexlink {

namespace {

using Clock = std::chrono::steady_clock;

int32_t msSince(Clock::time_point start) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return static_cast<int32_t>(std::min<decltype(elapsed)>(elapsed, INT32_MAX));
}

}  // namespace

BtDeviceStream::BtDeviceStream(const BtDeviceInfo& device) : device_(device), connector_(rfcommConnect) {}

BtDeviceStream::~BtDeviceStream() { close(); }

int32_t BtDeviceStream::open() {
    close();
    int fd = connectByUuid(device_, MicServiceUuid, connector_);
    if (fd == -1) {
        fd = connectByName(device_, SerialServiceName, SerialPortUuid, connector_);
    }
    if (fd == -1) {
        return -10;
    }
    adoptSocket(fd);
    return 0;
}

void BtDeviceStream::adoptSocket(int fd) {
    close();
    linkDown_ = false;
    socket_ = fd;
}

void BtDeviceStream::close() {
    const int fd = socket_.exchange(-1);
    if (fd >= 0) {
        closeSocket(fd);
    }
}

void BtDeviceStream::shutDownLink() {
    linkDown_ = true;
    const int fd = socket_.load();
    if (fd >= 0) {
        // Wakes a reader waiting on the descriptor (it becomes readable at
        // end of stream) and fails every later send; the number itself stays
        // ours until close().
        ::shutdown(fd, SHUT_RDWR);
    }
}

void BtDeviceStream::interrupt() { shutDownLink(); }

void BtDeviceStream::read(uint8_t* buffer, int32_t length) {
    if (length <= 0) {
        return;
    }
    const int32_t idleLimit = idleLimitMs_.load();
    Clock::time_point lastByte = Clock::now();
    int32_t remaining = length;
    while (remaining > 0) {
        const int fd = socket_.load();
        if (fd < 0 || linkDown_) {
            throw SocketErrorException(lastSocketError());
        }
        int32_t slice = kReadSliceMs;
        if (idleLimit > 0) {
            const int32_t idle = msSince(lastByte);
            if (idle >= idleLimit) {
                throw SocketErrorException(lastSocketError());
            }
            slice = std::min(slice, idleLimit - idle);
        }
        const int32_t n = recvWithTimeout(buffer + (length - remaining), remaining, fd, slice);
        if (n < 0) {
            throw SocketErrorException(lastSocketError());
        }
        if (n > 0) {
            remaining -= n;
            lastByte = Clock::now();
        }
    }
}

void BtDeviceStream::write(const uint8_t* buffer, int32_t length) {
    if (length <= 0) {
        return;
    }
    const int fd = socket_.load();
    if (fd < 0 || linkDown_) {
        throw SocketErrorException(lastSocketError());
    }
    int32_t remaining = length;
    int32_t offset = 0;
    while (remaining > 0) {
        const long n = sendNoSignal(fd, buffer + offset, remaining);
        if (n < 0 && errno == EINTR) {
            continue;  // a signal arrived before anything was sent
        }
        if (n <= 0) {
            // The link is unusable: the stream counts as closed from here on,
            // and a read waiting on the receive thread ends now.
            shutDownLink();
            throw SocketErrorException(lastSocketError());
        }
        remaining -= static_cast<int32_t>(n);
        offset += static_cast<int32_t>(n);
    }
}

}  // namespace vexlink
