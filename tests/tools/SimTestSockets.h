#pragma once

// A started simulator with a raw loopback client, and the requests a client
// sends, for driving the phone simulator byte by byte.

#include <gtest/gtest.h>

#include "TestPeers.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink::test {

inline const Bytes kHelloRequest = {0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0};
inline Bytes setupRequest(uint32_t port) {
    return {0x66, 0, 0, 0, 6, 2, 2, uint8_t(port >> 24), uint8_t(port >> 16), uint8_t(port >> 8), uint8_t(port)};
}
inline const Bytes kStartRequest = {0x67, 0, 0, 0, 0};
inline const Bytes kKeepAliveRequest = {0x69, 0, 0, 0, 0};
inline const Bytes kHelloOk = {0x65, 0, 0, 0, 2, 0, 4};
inline const Bytes kSetupOk = {0x66, 0, 0, 0, 1, 0};
inline const Bytes kStartOk = {0x67, 0, 0, 0, 1, 0};

// How the peer ended the connection within ms: 0 for an orderly close, the
// errno of a reset, -1 when it stayed open or sent data instead.
inline int endOf(int fd, int ms = 5000) {
    uint8_t b;
    const ssize_t r = readable(fd, ms) ? ::recv(fd, &b, 1, 0) : 1;
    return r == 0 ? 0 : r < 0 ? errno : -1;
}

// Datagrams until `count` arrived or none came within `idleMs`.
inline std::vector<Bytes> datagrams(const Fd& udp, size_t count, int idleMs = 3000) {
    std::vector<Bytes> all;
    uint8_t buf[4096];
    while (all.size() < count && readable(udp.get(), idleMs)) {
        const ssize_t r = ::recv(udp.get(), buf, sizeof buf, 0);
        if (r >= 0) all.emplace_back(buf, buf + r);
    }
    return all;
}

// A simulator started on a free loopback port with a raw client connected.
struct Started {
    explicit Started(phonesim::SimulatorConfig config, bool ipv6 = false) : sim([&] {
        if (ipv6) config.control.listenAddress = "::1";
        return std::move(config);
    }()) {
        std::string error;
        ok = sim.start(&error);
        EXPECT_TRUE(ok) << error;
        if (ok) client = socketAt(ipv6 ? "::1" : "127.0.0.1", sim.port(), SOCK_STREAM, false);
        ok = ok && client.valid();
    }
    bool send(const Bytes& b) { return sendAll(client.get(), b); }
    Bytes read(size_t n) { return recvBytes(client.get(), n); }
    // Hello, Setup naming `mediaPort`, Start; true when all three replies came.
    bool handshake(uint32_t mediaPort, uint8_t version = 4) {
        return send(kHelloRequest) && read(7) == Bytes{0x65, 0, 0, 0, 2, 0, version} && send(setupRequest(mediaPort)) &&
               read(6) == kSetupOk && send(kStartRequest) && read(6) == kStartOk;
    }
    phonesim::PhoneSimulator sim;
    Fd client;
    bool ok = false;
};

}  // namespace vexlink::test
