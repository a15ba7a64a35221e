#pragma once

// Loopback peers and helpers for the tests of the streams, the connection,
// the media readers and the front end. Every wait is bounded, so a broken
// client fails a test instead of hanging it.

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "transport/PeerAddressFilter.h"
#include "transport/SocketErrorException.h"

namespace vexlink::test {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline long long msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes pattern(size_t n, int seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return b;
}

// Owns one descriptor.
struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept { return reset(std::exchange(o.fd, -1)), *this; }
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) ::close(fd);
        fd = f;
    }
    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
};

// A numeric address ("::ffff:10.0.0.1", "fe80::1%2") as a socket address
// with `port`; length 0 when it does not parse.
inline sockaddr_storage numericAddress(const char* text, socklen_t& length, uint16_t port = 0) {
    sockaddr_storage out{};
    addrinfo hints{}, *a = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    length = getaddrinfo(text, std::to_string(port).c_str(), &hints, &a) == 0 ? a->ai_addrlen : 0;
    if (length != 0) std::memcpy(&out, a->ai_addr, length), freeaddrinfo(a);
    return out;
}
// A socket of `type` (and the address's family), bound to address:port
// when `bind` is set, or connected to it otherwise; invalid on failure.
inline Fd socketAt(const char* address, uint16_t port, int type, bool bind = true) {
    socklen_t length = 0;
    const sockaddr_storage a = numericAddress(address, length, port);
    Fd fd(length != 0 ? ::socket(a.ss_family, type | SOCK_CLOEXEC, 0) : -1);
    if ((bind ? ::bind : ::connect)(fd.get(), reinterpret_cast<const sockaddr*>(&a), length) != 0) fd.reset();
    return fd;
}
inline Fd boundSocket(const char* address, int type, uint16_t port = 0) { return socketAt(address, port, type); }
// A datagram socket bound to `from` and connected to to:port: what it sends
// comes from that address.
inline Fd datagramSocketFrom(const char* from, const char* to, uint16_t port) {
    Fd fd = boundSocket(from, SOCK_DGRAM);
    socklen_t length = 0;
    const sockaddr_storage a = numericAddress(to, length, port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), length) != 0) fd.reset();
    return fd;
}
inline PeerAddressFilter phoneAt(const char* text) {
    socklen_t length = 0;
    const sockaddr_storage a = numericAddress(text, length);
    return PeerAddressFilter(reinterpret_cast<const sockaddr*>(&a), length);
}

inline uint16_t localPort(int fd) {
    sockaddr_storage a{};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(a).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(a).sin_port);
}

inline bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// Exactly n bytes, however the sender split them; empty on timeout or close.
inline Bytes recvBytes(int fd, size_t n) {
    Bytes out(n);
    for (size_t got = 0; got < n;) {
        const ssize_t r = readable(fd, 5000) ? ::recv(fd, &out[got], n - got, 0) : 0;
        if (r <= 0) return {};
        got += static_cast<size_t>(r);
    }
    return out;
}

inline bool sendAll(int fd, const Bytes& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

inline bool sendDatagram(const char* address, uint16_t port, const Bytes& data) {
    return sendAll(socketAt(address, port, SOCK_DGRAM, false).get(), data);
}

// True when the other side closes before a silence of ms; earlier bytes are drained.
inline bool seesClose(int fd, int ms = 20000) {
    uint8_t scratch[256];
    while (readable(fd, ms)) {
        if (::recv(fd, scratch, sizeof scratch, 0) <= 0) return true;
    }
    return false;
}

// A TCP server on a loopback address: accepts one connection and hands it to
// `script` on its own thread; the destructor joins.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(Fd&)> script, const char* address = "127.0.0.1")
        : listener_(boundSocket(address, SOCK_STREAM)) {
        ::listen(listener_.get(), 4);
        thread_ = std::thread([this, script] {
            Fd c(readable(listener_.get(), 10000) ? ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC) : -1);
            if ((accepted_ = c.valid())) script(c);
        });
    }
    ~ScriptedPeer() { join(); }
    uint16_t port() const { return localPort(listener_.get()); }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    bool accepted() const { return accepted_; }  // after join()

private:
    Fd listener_;
    bool accepted_ = false;
    std::thread thread_;
};

// The error number `work` threw with, or -1 when it threw nothing.
inline int32_t thrownError(const std::function<void()>& work) {
    try {
        work();
    } catch (const SocketErrorException& e) {
        return e.error();
    }
    return -1;
}

// Polls `condition` every millisecond for at most 10 s.
inline bool eventually(const std::function<bool()>& condition) {
    for (const auto start = Clock::now(); msSince(start) < 10000; std::this_thread::sleep_for(1ms)) {
        if (condition()) return true;
    }
    return false;
}

// Whether thread `tid` of this process sits in poll now.
inline bool inPoll(pid_t tid) {
    long number = -1;
    return std::ifstream("/proc/self/task/" + std::to_string(tid) + "/syscall") >> number &&
           (number == SYS_poll || number == SYS_ppoll);
}
// True once thread `tid` sits in poll: it really waits.
inline bool waitsInPoll(pid_t tid) {
    return eventually([&] { return inPoll(tid); });
}

// `work` on its own thread, a SocketErrorException it throws recorded. If it
// still runs when this is destroyed, `unblock` ends it first.
class Background {
public:
    explicit Background(std::function<void()> work, std::function<void()> unblock = [] {})
        : unblock_(std::move(unblock)), ended_(std::async(std::launch::async, [this, work] {
              handle_ = pthread_self();
              tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
              try {
                  work();
              } catch (const SocketErrorException& e) {
                  threw = true;
                  error = e.error();
              }
          })) {
        while (tid_ == 0) std::this_thread::yield();
    }
    ~Background() { if (!endsWithin(0ms)) unblock_(); }
    // True once the thread sits in poll: its read really waits.
    bool waiting() const { return waitsInPoll(tid_.load()); }
    // True once the thread, started at least `age` ago, still sits in poll.
    bool waitsPast(std::chrono::milliseconds age) const {
        return eventually([&] { return Clock::now() - started_ >= age && inPoll(tid_.load()); });
    }
    bool endsWithin(std::chrono::milliseconds t) const { return ended_.wait_for(t) == std::future_status::ready; }
    pthread_t handle() const { return handle_; }

    bool threw = false;  // read these after endsWithin() said true
    int32_t error = -1;

private:
    std::function<void()> unblock_;
    const Clock::time_point started_ = Clock::now();
    pthread_t handle_{};
    std::atomic<pid_t> tid_{0};
    std::future<void> ended_;  // last: its destructor waits for the thread
};

}  // namespace vexlink::test
