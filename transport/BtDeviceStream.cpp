#include "transport/BtDeviceStream.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "transport/AbandonableCall.h"
#include "transport/BtServiceSearch.h"
#include "transport/SocketUtil.h"

namespace vexlink {

BtDeviceStream::BtDeviceStream(const BtDeviceInfo& device) : device_(device), connector_(rfcommConnect) {}

BtDeviceStream::~BtDeviceStream() { close(); }

int32_t BtDeviceStream::open() {
    close();
    // The helper gets copies: it may outlive this stream.
    auto search = [device = device_, connector = connector_] {
        int fd = connectByUuid(device, MicServiceUuid, connector);
        if (fd == -1) {
            fd = connectByName(device, SerialServiceName, SerialPortUuid, connector);
        }
        return fd;
    };
    int fd = -1;
    if (AbandonableCall::run(std::move(search), closeSocket, limits_, &fd) != WaitOutcome::Ready || fd == -1) {
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
    int32_t remaining = length;
    while (remaining > 0) {
        const int fd = socket_.load();
        if (fd < 0 || linkDown_) {
            throw SocketErrorException(lastSocketError());
        }
        int32_t slice = kReadSliceMs;
        if (limits_.active()) {
            if (limits_.wait(fd, POLLIN) != WaitOutcome::Ready) {
                throw SocketErrorException(lastSocketError());
            }
            slice = 0;  // readable now: receive without waiting again
        }
        const int32_t n = recvWithTimeout(buffer + (length - remaining), remaining, fd, slice);
        if (n < 0) {
            throw SocketErrorException(lastSocketError());
        }
        remaining -= n;
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
