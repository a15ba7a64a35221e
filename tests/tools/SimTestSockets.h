#pragma once

// Raw loopback sockets for driving the phone simulator byte by byte.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vexlink::phonesim::test {

using Bytes = std::vector<uint8_t>;

inline int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A TCP client of the simulator's control port.
class RawClient {
public:
    RawClient() = default;
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(const std::string& address, uint16_t port) {
        sockaddr_storage ss{};
        socklen_t len = 0;
        if (address.find(':') != std::string::npos) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            if (inet_pton(AF_INET6, address.c_str(), &a->sin6_addr) != 1) return false;
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            if (inet_pton(AF_INET, address.c_str(), &a->sin_addr) != 1) return false;
            len = sizeof *a;
        }
        fd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    }

    bool send(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads exactly n bytes unless the peer closes, resets or the limit passes.
    Bytes read(size_t n, int limitMs = 5000) {
        Bytes out;
        const int64_t deadline = nowMs() + limitMs;
        while (out.size() < n) {
            const int64_t left = deadline - nowMs();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
            uint8_t buf[4096];
            const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) {
                lastRecvErrno_ = r < 0 ? errno : 0;
                eof_ = true;
                break;
            }
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    // Waits for the peer to end the connection: 0 for an orderly close,
    // the errno (ECONNRESET) for a reset, -1 when the limit passed or
    // data arrived instead.
    int waitClosed(int limitMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0) return -1;
        uint8_t b;
        const ssize_t r = ::recv(fd_, &b, 1, 0);
        if (r == 0) return 0;
        if (r < 0) return errno;
        return -1;
    }

    // True when nothing arrives within the limit (the connection stays up).
    bool silentFor(int limitMs) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, limitMs) == 0;
    }

    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    bool eof_ = false;
    int lastRecvErrno_ = 0;
};

// A UDP socket on a free loopback-reachable port, like the client's media port.
class UdpReceiver {
public:
    explicit UdpReceiver(bool ipv6 = false) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
            socklen_t len = sizeof a;
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin6_port);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
            socklen_t len = sizeof a;
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin_port);
        }
        const int big = 1 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    ~UdpReceiver() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    uint16_t port() const { return port_; }

    // One datagram (possibly empty); false when none arrived within the limit.
    bool receive(Bytes& out, int limitMs = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0) return false;
        uint8_t buf[4096];
        const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r < 0) return false;
        out.assign(buf, buf + r);
        return true;
    }

    // Datagrams until `idleMs` pass without one.
    std::vector<Bytes> drain(int idleMs = 500) {
        std::vector<Bytes> all;
        Bytes d;
        while (receive(d, idleMs)) all.push_back(d);
        return all;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

inline Bytes helloRequest() { return {0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0}; }
inline Bytes setupRequest(uint32_t port) {
    return {0x66, 0, 0, 0, 6, 2, 2, static_cast<uint8_t>(port >> 24), static_cast<uint8_t>(port >> 16),
            static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
}
inline Bytes startRequest() { return {0x67, 0, 0, 0, 0}; }
inline Bytes command104Request() { return {0x68, 0, 0, 0, 0}; }
inline Bytes keepAliveRequest() { return {0x69, 0, 0, 0, 0}; }

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace vexlink::phonesim::test
