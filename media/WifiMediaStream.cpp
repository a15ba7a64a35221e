#include "media/WifiMediaStream.h"

#include <cerrno>
#include <chrono>
#include <sys/socket.h>

#include "transport/SocketErrorException.h"
#include "transport/SocketUtil.h"

namespace vexlink {

WifiMediaStream::WifiMediaStream(uint32_t port) : port_(port) {}

// Closing here as well keeps a forgotten close() from leaking the socket;
// close() is harmless when already closed.
WifiMediaStream::~WifiMediaStream() { close(); }

int32_t WifiMediaStream::open() {
    close();
    interrupted_ = false;
    foreignDatagrams_ = 0;
    // Only the low 16 bits of the port reach the socket.
    const int fd = openBoundSocket(static_cast<int32_t>(port_ & 0xFFFFu), SOCK_DGRAM);
    if (fd == -1) {
        openError_ = errno;
        return -10;
    }
    openError_ = 0;

    int size = 0;
    socklen_t sizeLength = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &sizeLength) == 0 && size < kMinReceiveBuffer) {
        const int wanted = kMinReceiveBuffer;
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }

    mediaSocket_ = fd;
    reset();
    return 0;
}

void WifiMediaStream::close() {
    const int fd = mediaSocket_.exchange(-1);
    if (fd != -1) closeSocket(fd);
}

int32_t WifiMediaStream::receiveDatagram(uint8_t* into, int32_t capacity) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(receiveWaitMs_);
    for (;;) {
        if (interrupted_) throw SocketErrorException(lastSocketError());
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        sockaddr_storage source;
        socklen_t sourceLength = 0;
        const int32_t n = recvDatagramFrom(into, capacity, mediaSocket_, left > 0 ? static_cast<int32_t>(left) : 0,
                                           source, sourceLength);
        // A shut-down socket reads as an empty datagram, so look at the flag first.
        if (interrupted_) throw SocketErrorException(lastSocketError());
        if (n == kDatagramFailed) throw SocketErrorException(lastSocketError());
        if (n >= 0) {
            if (phone_.accepts(reinterpret_cast<const sockaddr*>(&source), sourceLength)) {
                if (n == 0) throw SocketErrorException(lastSocketError());  // the phone's empty datagram
                return n;
            }
            ++foreignDatagrams_;
        }
        if (Clock::now() >= deadline) return 0;
    }
}

void WifiMediaStream::interrupt() {
    interrupted_ = true;
    // On Linux shutting down even an unconnected UDP socket marks it readable,
    // which ends a waiting poll at once; the descriptor stays open.
    const int fd = mediaSocket_;
    if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace vexlink
