#pragma once

// Raw loopback sockets and a started simulator for driving the phone
// simulator byte by byte.

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink::phonesim::test {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

inline int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Fills a loopback address of either family; returns its length.
inline socklen_t loopback(bool ipv6, uint16_t port, sockaddr_storage& ss) {
    ss = {};
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = in6addr_loopback;
        return sizeof *a;
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof *a;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

protected:
    int fd_;
};

// A TCP client of the simulator's control port.
class RawClient : public Fd {
public:
    bool connect(bool ipv6, uint16_t port) {
        sockaddr_storage ss;
        const socklen_t len = loopback(ipv6, port, ss);
        fd_ = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    }
    bool send(const Bytes& b) { return ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); }

    // Exactly n bytes unless the peer closes, resets or the limit passes.
    Bytes read(size_t n, int limitMs = 5000) {
        Bytes out;
        const int64_t deadline = nowMs() + limitMs;
        while (out.size() < n && deadline > nowMs()) {
            pollfd p{fd_, POLLIN, 0};
            uint8_t buf[4096];
            if (::poll(&p, 1, static_cast<int>(deadline - nowMs())) <= 0) break;
            const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    }

    // 0 for an orderly close, the errno for a reset, -1 when the limit
    // passed or data arrived instead.
    int waitClosed(int limitMs = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, limitMs) <= 0) return -1;
        uint8_t b;
        const ssize_t r = ::recv(fd_, &b, 1, 0);
        return r == 0 ? 0 : r < 0 ? errno : -1;
    }
};

// A UDP socket on a free loopback port, like the client's media port.
class UdpReceiver : public Fd {
public:
    explicit UdpReceiver(bool ipv6 = false) {
        sockaddr_storage ss;
        socklen_t len = loopback(ipv6, 0, ss);
        fd_ = ::socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
        port_ = ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);  // same offset for both families
    }
    uint16_t port() const { return port_; }

    // Datagrams until `count` arrived or none came within `idleMs`.
    std::vector<Bytes> receive(size_t count, int idleMs = 3000) {
        std::vector<Bytes> all;
        uint8_t buf[4096];
        pollfd p{fd_, POLLIN, 0};
        while (all.size() < count && ::poll(&p, 1, idleMs) > 0) {
            const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
            if (r >= 0) all.emplace_back(buf, buf + r);
        }
        return all;
    }

private:
    uint16_t port_ = 0;
};

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Bytes helloRequest() { return {0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0}; }
inline Bytes setupRequest(uint32_t port) {
    return {0x66, 0, 0, 0, 6, 2, 2, uint8_t(port >> 24), uint8_t(port >> 16), uint8_t(port >> 8), uint8_t(port)};
}
inline Bytes startRequest() { return {0x67, 0, 0, 0, 0}; }
inline Bytes keepAliveRequest() { return {0x69, 0, 0, 0, 0}; }
inline const Bytes kHelloOk = {0x65, 0, 0, 0, 2, 0, 4};
inline const Bytes kSetupOk = {0x66, 0, 0, 0, 1, 0};
inline const Bytes kStartOk = {0x67, 0, 0, 0, 1, 0};

// A simulator started on a free loopback port with a raw client connected.
struct Started {
    explicit Started(SimulatorConfig config, bool ipv6 = false) : sim([&] {
        if (ipv6) config.control.listenAddress = "::1";
        return std::move(config);
    }()) {
        std::string error;
        ok = sim.start(&error);
        EXPECT_TRUE(ok) << error;
        ok = ok && client.connect(ipv6, sim.port());
    }
    // Hello, Setup naming `mediaPort`, Start; true when all three replies came.
    bool handshake(uint32_t mediaPort, uint8_t version = 4) {
        return client.send(helloRequest()) && client.read(7) == Bytes{0x65, 0, 0, 0, 2, 0, version} &&
               client.send(setupRequest(mediaPort)) && client.read(6) == kSetupOk && client.send(startRequest()) &&
               client.read(6) == kStartOk;
    }
    PhoneSimulator sim;
    RawClient client;
    bool ok = false;
};

}  // namespace vexlink::phonesim::test
