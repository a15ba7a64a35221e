#include "transport/WinSockStream.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace vexlink {

WinSockStream::WinSockStream(const char* serverAddr, int32_t port) : serverAddr_(serverAddr), port_(port) {}

WinSockStream::~WinSockStream() { close(); }

int32_t WinSockStream::open() {
    close();
    interrupted_ = false;
    const int fd = tcpConnect(serverAddr_, port_, SOCK_STREAM, limits_, lookup_);
    if (fd == -1) return -10;
    // Every field of a message goes out in its own write; without this,
    // Nagle's algorithm holds each message's later fields until the phone
    // acknowledges the first, and its delayed acknowledgement adds tens of
    // milliseconds to every handshake step.
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    socket_ = fd;
    return 0;
}

void WinSockStream::close() {
    const int fd = socket_.exchange(-1);
    if (fd != -1) closeSocket(fd);
}

void WinSockStream::read(uint8_t* buffer, int32_t length) {
    int32_t remaining = length;
    while (remaining > 0) {
        const int fd = socket_;
        if (interrupted_ || fd < 0) throw SocketErrorException(lastSocketError());
        int32_t slice = kReadSliceMs;
        if (limits_.active()) {
            if (limits_.wait(fd, POLLIN) != WaitOutcome::Ready) throw SocketErrorException(lastSocketError());
            slice = 0;  // readable now: receive without waiting again
        }
        const int32_t n = recvWithTimeout(buffer + (length - remaining), remaining, fd, slice);
        if (n < 0) throw SocketErrorException(lastSocketError());
        remaining -= n;
    }
}

void WinSockStream::write(const uint8_t* buffer, int32_t length) {
    int32_t remaining = length;
    int32_t offset = 0;
    while (remaining > 0) {
        const long n = sendNoSignal(socket_, buffer + offset, remaining);
        if (n < 0) {
            // A signal before anything was sent is no failure of the link.
            if (errno == EINTR) continue;
            throw SocketErrorException(lastSocketError());
        }
        remaining -= static_cast<int32_t>(n);
        offset += static_cast<int32_t>(n);
    }
}

void WinSockStream::interrupt() {
    interrupted_ = true;
    // Shutting the connection down wakes a waiting read at once (it sees the
    // end of the stream) while the descriptor stays ours until close().
    const int fd = socket_;
    if (fd != -1) ::shutdown(fd, SHUT_RDWR);
}

}  // namespace vexlink
