#include "media/WifiMediaStream.h"

#include <cstring>
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
    // Only the low 16 bits of the port reach the socket.
    const int fd = openBoundSocket(static_cast<int32_t>(port_ & 0xFFFFu), SOCK_DGRAM);
    if (fd == -1) return -10;

    int size = 0;
    socklen_t sizeLength = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &sizeLength) == 0 && size < kMinReceiveBuffer) {
        const int wanted = kMinReceiveBuffer;
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }

    mediaSocket_ = fd;
    bufferedCount_ = 0;
    return 0;
}

void WifiMediaStream::close() {
    const int fd = mediaSocket_.exchange(-1);
    if (fd != -1) closeSocket(fd);
}

int32_t WifiMediaStream::read(uint8_t* buffer, int32_t count) {
    if (count == 0) return 0;
    if (count < 0 || count > kMaxPacketPayload) {
        // No packet can be that long: treat it as a broken one.
        bufferedCount_ = 0;
        return -30;
    }
    if (bufferedCount_ >= count) {
        take(buffer, count);
        return 0;
    }
    if (bufferedCount_ > 0) {
        // A packet never continues in the next datagram: what is left of
        // this one is unusable.
        bufferedCount_ = 0;
        return -30;
    }

    while (bufferedCount_ < count) {
        if (interrupted_) throw SocketErrorException(lastSocketError());
        const int32_t n = recvWithTimeout(datagramBuffer_ + bufferedCount_, kMaxPacketPayload - bufferedCount_,
                                          mediaSocket_, receiveWaitMs_);
        // A shut-down socket reads as "nothing", so look at the flag first.
        if (interrupted_) throw SocketErrorException(lastSocketError());
        if (n == 0) return -20;
        if (n < 0) throw SocketErrorException(lastSocketError());
        bufferedCount_ += n;
    }
    take(buffer, count);
    return 0;
}

void WifiMediaStream::interrupt() {
    interrupted_ = true;
    // On Linux shutting down even an unconnected UDP socket marks it readable,
    // which ends a waiting poll at once; the descriptor stays open.
    const int fd = mediaSocket_;
    if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}

void WifiMediaStream::take(uint8_t* destination, int32_t count) {
    std::memcpy(destination, datagramBuffer_, static_cast<size_t>(count));
    bufferedCount_ -= count;
    if (bufferedCount_ > 0) std::memmove(datagramBuffer_, datagramBuffer_ + count, static_cast<size_t>(bufferedCount_));
}

}  // namespace vexlink
