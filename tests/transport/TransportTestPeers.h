#pragma once

// Small in-process peers for the transport and media tests: a TCP listener
// on a loopback address whose accepted connection is handled by a scripted
// thread, UDP senders, and helpers that read and write with time limits so
// that a broken client makes a test fail instead of hang.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace vexlink::test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

inline bool isIpv6(const char* address) { return std::strchr(address, ':') != nullptr; }

// A socket of `type` bound to address:port (port 0: any free one).
inline Fd boundSocket(const char* address, int type, uint16_t port = 0, bool reuse = false) {
    const bool v6 = isIpv6(address);
    Fd fd(::socket(v6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    if (reuse) {
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    int rc;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        ::inet_pton(AF_INET6, address, &a.sin6_addr);
        rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        rc = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) fd.reset();
    return fd;
}

inline uint16_t localPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

inline Fd listeningSocket(const char* address, uint16_t* port) {
    Fd fd = boundSocket(address, SOCK_STREAM);
    if (!fd.valid() || ::listen(fd.get(), 4) != 0) return Fd();
    *port = localPort(fd.get());
    return fd;
}

// A TCP port on the address that refuses connections: bound, not listening,
// and kept so for the lifetime of the returned socket.
inline Fd refusingPort(const char* address, uint16_t* port) {
    Fd fd = boundSocket(address, SOCK_STREAM);
    *port = fd.valid() ? localPort(fd.get()) : 0;
    return fd;
}

inline bool waitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

inline Fd acceptWithin(int listenFd, int ms) {
    if (!waitReadable(listenFd, ms)) return Fd();
    return Fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
}

// Reads exactly n bytes within ms; false on timeout, error or end of stream.
inline bool recvExactly(int fd, uint8_t* out, size_t n, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    size_t got = 0;
    while (got < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !waitReadable(fd, static_cast<int>(left))) return false;
        const ssize_t r = ::recv(fd, out + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

inline Bytes recvBytes(int fd, size_t n, int ms = 5000) {
    Bytes out(n);
    if (!recvExactly(fd, out.data(), n, ms)) out.clear();
    return out;
}

inline bool sendAll(int fd, const uint8_t* data, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        const ssize_t r = ::send(fd, data + sent, n - sent, MSG_NOSIGNAL);
        if (r <= 0) return false;
        sent += static_cast<size_t>(r);
    }
    return true;
}

inline bool sendAll(int fd, const Bytes& data) { return sendAll(fd, data.data(), data.size()); }

// True when the other side closes (end of stream or reset) within ms;
// bytes that arrive first are drained.
inline bool seesClose(int fd, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    uint8_t scratch[256];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || !waitReadable(fd, static_cast<int>(left))) return false;
        const ssize_t r = ::recv(fd, scratch, sizeof scratch, 0);
        if (r <= 0) return true;
    }
}

inline void setNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Aborts the connection with a reset instead of an orderly close.
inline void resetConnection(Fd& fd) {
    const linger l{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
    fd.reset();
}

// One UDP datagram from an ephemeral socket to address:port.
inline bool sendDatagram(const char* address, uint16_t port, const Bytes& data) {
    const bool v6 = isIpv6(address);
    Fd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    ssize_t r;
    if (v6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        ::inet_pton(AF_INET6, address, &a.sin6_addr);
        r = ::sendto(fd.get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &a.sin_addr);
        r = ::sendto(fd.get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    return r == static_cast<ssize_t>(data.size());
}

// A TCP server on a loopback address that accepts one connection and hands
// it to `script` on its own thread. The destructor joins the thread.
class ScriptedPeer {
public:
    using Script = std::function<void(Fd& connection)>;

    explicit ScriptedPeer(Script script, const char* address = "127.0.0.1") {
        listener_ = listeningSocket(address, &port_);
        thread_ = std::thread([this, s = std::move(script)]() mutable {
            Fd connection = acceptWithin(listener_.get(), 10000);
            accepted_ = connection.valid();
            if (accepted_) s(connection);
        });
    }
    ~ScriptedPeer() { join(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const { return port_; }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // Valid after join().
    bool accepted() const { return accepted_; }

private:
    Fd listener_;
    uint16_t port_ = 0;
    bool accepted_ = false;
    std::thread thread_;
};

// Waits until thread `tid` of this process sits in a poll system call (that
// is, a read is really waiting), checking its state in /proc.
inline bool waitUntilPolling(pid_t tid, int ms = 10000) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path);
        long number = -1;
        if (in >> number && (number == SYS_poll || number == SYS_ppoll)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // re-check, not a hand-off
    }
    return false;
}

inline long long elapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace vexlink::test
