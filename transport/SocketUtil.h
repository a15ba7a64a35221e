#pragma once

#include <cstdint>
#include <functional>
#include <sys/socket.h>

#include "transport/WaitLimits.h"

struct addrinfo;

namespace vexlink {

// getaddrinfo's shape; tests put a resolver of their own in its place.
using AddressLookup =
    std::function<int(const char* host, const char* service, const addrinfo* hints, addrinfo** results)>;

// Resolves host (any family; `lookup`, getaddrinfo when empty) and connects
// a socket of `socketType` to the first result only. Both steps end at the
// limits' deadline or on their cancel signal: the resolver runs on a helper
// thread that is left to finish alone, and the connect is made without
// blocking. Connected descriptor (in blocking mode), or -1.
int tcpConnect(const char* host, int32_t port, int socketType, const WaitLimits& limits = {},
               const AddressLookup& lookup = {});

// Creates a socket, as ::socket does; a seam for tests.
using SocketFactory = int (*)(int domain, int type, int protocol);

// AF_INET6 socket of `socketType` bound to in6addr_any:port (dual stack);
// stream sockets also set SO_REUSEADDR and listen with backlog 1. Where the
// host has no IPv6 (socket() refuses the family), an AF_INET socket bound to
// INADDR_ANY:port instead. Descriptor, or -1 with errno telling why (e.g.
// EADDRINUSE). Datagram sockets leave SO_REUSEADDR off: with it, a second
// program's socket could share the port and take the datagrams.
int openBoundSocket(int32_t port, int socketType, SocketFactory createSocket = nullptr);

// Waits up to limitMs for the descriptor to become readable, then receives
// once. Bytes received (> 0); 0 when nothing arrived in time (an interrupted
// or failed wait also counts as nothing); -1 on a receive error, when the
// peer has closed, or on a zero-length datagram.
int32_t recvWithTimeout(uint8_t* buffer, int32_t length, int fd, int32_t limitMs);

// Outcomes of recvDatagramFrom other than a byte count.
enum DatagramReceive : int32_t {
    kDatagramNothing = -1,  // nothing received (yet): wait for what is left
    kDatagramFailed = -2,   // the receive failed
};

// Waits up to limitMs for the descriptor to become readable, then receives
// one datagram without blocking and stores its source address. Returns its
// length (0 for an empty datagram), or kDatagramNothing when no datagram was
// taken: the limit passed, a signal cut the wait short, or a wake-up found
// nothing to receive (another reader, a datagram dropped for its checksum),
// so this may come before the limit. A wait that fails for another reason
// first sleeps a short slice (at most the limit), so that a caller retrying
// until its deadline never spins. kDatagramFailed on a receive error.
int32_t recvDatagramFrom(uint8_t* buffer, int32_t length, int fd, int32_t limitMs, sockaddr_storage& source,
                         socklen_t& sourceLength);

// The peer address of a connected socket; false when there is none.
bool peerAddress(int fd, sockaddr_storage& address, socklen_t& length);

// send() that never raises SIGPIPE. Same results as send().
long sendNoSignal(int fd, const uint8_t* buffer, long length);

void closeSocket(int fd);

// The error number carried by SocketErrorException: 0 on this platform.
int32_t lastSocketError();

}  // namespace vexlink
