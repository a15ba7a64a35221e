#pragma once

#include <cstdint>
#include <functional>

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

// AF_INET6 socket of `socketType` bound to in6addr_any:port (dual stack,
// SO_REUSEADDR); stream sockets also listen with backlog 1. Descriptor or -1.
int openBoundSocket(int32_t port, int socketType);

// Waits up to limitMs for the descriptor to become readable, then receives
// once. Bytes received (> 0); 0 when nothing arrived in time (an interrupted
// or failed wait also counts as nothing); -1 on a receive error, when the
// peer has closed, or on a zero-length datagram.
int32_t recvWithTimeout(uint8_t* buffer, int32_t length, int fd, int32_t limitMs);

// send() that never raises SIGPIPE. Same results as send().
long sendNoSignal(int fd, const uint8_t* buffer, long length);

void closeSocket(int fd);

// The error number carried by SocketErrorException: 0 on this platform.
int32_t lastSocketError();

}  // namespace vexlink
