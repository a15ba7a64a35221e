#include "transport/SocketUtil.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "transport/AbandonableCall.h"

namespace vexlink {

namespace {

// The first address of a resolution, copied out of the resolver's list.
struct ResolvedAddress {
    int family = 0;
    int protocol = 0;
    sockaddr_storage address{};
    socklen_t length = 0;
};

// Runs the resolver on a helper thread. The helper owns copies of all it
// reads and frees the resolver's list itself, so a caller that gave up
// leaves nothing behind.
bool resolveFirst(const char* host, int32_t port, int socketType, const WaitLimits& limits,
                  const AddressLookup& lookup, ResolvedAddress* out) {
    auto resolved = std::make_shared<ResolvedAddress>();
    auto work = [resolved, host = std::string(host), port, socketType,
                 lookup = lookup ? lookup : AddressLookup(::getaddrinfo)]() {
        addrinfo hints;
        std::memset(&hints, 0, sizeof hints);
        hints.ai_socktype = socketType;
        char service[16];
        std::snprintf(service, sizeof service, "%d", static_cast<int>(port));
        addrinfo* results = nullptr;
        if (lookup(host.c_str(), service, &hints, &results) != 0) return -1;
        if (results == nullptr) return -1;
        // Only the first result is tried.
        resolved->family = results->ai_family;
        resolved->protocol = results->ai_protocol;
        resolved->length = std::min<socklen_t>(results->ai_addrlen, sizeof resolved->address);
        std::memcpy(&resolved->address, results->ai_addr, resolved->length);
        freeaddrinfo(results);
        return 0;
    };
    int result = -1;
    if (AbandonableCall::run(std::move(work), nullptr, limits, &result) != WaitOutcome::Ready || result != 0) {
        return false;
    }
    *out = *resolved;
    return true;
}

}  // namespace

int tcpConnect(const char* host, int32_t port, int socketType, const WaitLimits& limits, const AddressLookup& lookup) {
    if (host == nullptr) return -1;
    ResolvedAddress target;
    if (!resolveFirst(host, port, socketType, limits, lookup, &target)) return -1;

    const int fd = ::socket(target.family, socketType | SOCK_CLOEXEC | SOCK_NONBLOCK, target.protocol);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target.address), target.length) != 0) {
        // EINTR leaves the connect going on, like EINPROGRESS.
        if (errno != EINPROGRESS && errno != EINTR) {
            ::close(fd);
            return -1;
        }
        int error = 0;
        socklen_t errorLength = sizeof error;
        // A reset once the connection was made (ECONNRESET, EPIPE) is left to
        // the first read or write to find, as after a blocking connect; a
        // refused or unanswered connect fails here.
        if (limits.wait(fd, POLLOUT) != WaitOutcome::Ready ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0 ||
            (error != 0 && error != ECONNRESET && error != EPIPE)) {
            ::close(fd);
            return -1;
        }
    }
    // The stream's writes expect a blocking socket.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Closes fd without losing the errno of the call that failed before.
int closeKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}

// Longest sleep after a failed wait for a datagram.
constexpr int32_t kFailedWaitSliceMs = 10;

}  // namespace

int openBoundSocket(int32_t port, int socketType, SocketFactory createSocket) {
    if (createSocket == nullptr) createSocket = &::socket;

    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    socklen_t addressLength = sizeof(sockaddr_in6);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    v6->sin6_addr = in6addr_any;

    int fd = createSocket(AF_INET6, socketType | SOCK_CLOEXEC, 0);
    if (fd < 0 && errno == EAFNOSUPPORT) {
        // A host booted without IPv6: IPv4 is all there is.
        std::memset(&address, 0, sizeof address);
        addressLength = sizeof(sockaddr_in);
        auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        v4->sin_addr.s_addr = htonl(INADDR_ANY);
        fd = createSocket(AF_INET, socketType | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return -1;

    if (socketType == SOCK_STREAM) {
        const int on = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (address.ss_family == AF_INET6) {
        // IPv4 traffic to the port must reach this socket too, whatever the
        // host's default for new IPv6 sockets says.
        const int off = 0;
        (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }

    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) != 0) return closeKeepingErrno(fd);
    if (socketType == SOCK_STREAM && ::listen(fd, 1) != 0) return closeKeepingErrno(fd);
    return fd;
}

int32_t recvWithTimeout(uint8_t* buffer, int32_t length, int fd, int32_t limitMs) {
    if (fd < 0) return -1;
    if (length <= 0) return 0;
    limitMs = std::max(limitMs, 0);  // a negative limit waits not at all

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    int waitMs = limitMs;
    for (;;) {
        pollfd entry;
        entry.fd = fd;
        entry.events = POLLIN;
        entry.revents = 0;
        const int ready = ::poll(&entry, 1, waitMs);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) return -1;
            break;
        }
        if (ready == 0) return 0;
        // A signal cut the wait short (SIGINT is installed without
        // SA_RESTART): wait for what is left of the limit. Any other failure
        // of the wait means nothing is known to be readable.
        if (errno != EINTR) return 0;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        waitMs = static_cast<int>(left);
    }

    // Never block here: readiness may be stale (another reader, a shutdown
    // without data), and a blocking receive would then wait without limit.
    const ssize_t n = ::recv(fd, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        return -1;
    }
    if (n == 0) return -1;  // orderly close, or a zero-length datagram
    return static_cast<int32_t>(n);
}

int32_t recvDatagramFrom(uint8_t* buffer, int32_t length, int fd, int32_t limitMs, sockaddr_storage& source,
                         socklen_t& sourceLength) {
    if (fd < 0 || length <= 0) return kDatagramFailed;
    limitMs = std::max(limitMs, 0);  // a negative limit waits not at all

    pollfd entry;
    entry.fd = fd;
    entry.events = POLLIN;
    entry.revents = 0;
    const int ready = ::poll(&entry, 1, limitMs);
    if (ready == 0) return kDatagramNothing;
    if (ready < 0) {
        if (errno != EINTR) {
            // Nothing is known to be readable, and trying again at once could
            // fail the same way for ever.
            const int32_t slice = limitMs < kFailedWaitSliceMs ? limitMs : kFailedWaitSliceMs;
            const timespec pause{0, static_cast<long>(slice) * 1000000L};
            (void)::nanosleep(&pause, nullptr);
        }
        return kDatagramNothing;
    }
    if (entry.revents & POLLNVAL) return kDatagramFailed;

    std::memset(&source, 0, sizeof source);
    sourceLength = sizeof source;
    const ssize_t n = ::recvfrom(fd, buffer, static_cast<size_t>(length), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&source), &sourceLength);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kDatagramNothing;
        return kDatagramFailed;
    }
    return static_cast<int32_t>(n);
}

bool peerAddress(int fd, sockaddr_storage& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    length = sizeof address;
    return fd >= 0 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
}

long sendNoSignal(int fd, const uint8_t* buffer, long length) {
    if (length < 0) length = 0;
    return static_cast<long>(::send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL));
}

void closeSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

int32_t lastSocketError() { return 0; }

}  // namespace vexlink
