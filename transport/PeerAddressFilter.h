#pragma once

#include <cstdint>
#include <sys/socket.h>

namespace vexlink {

// Decides whether a datagram's source address is the phone's. The phone is
// known by one address, the peer address of the connected control socket;
// source ports are never compared (the phone sends its voice from another
// port than its control port). A source matches when it is:
//  - for an IPv4 phone (AF_INET, or the IPv4-mapped form ::ffff:a.b.c.d of
//    an AF_INET6 socket): that IPv4 address, in either form, exactly;
//  - for a link-local IPv6 phone (fe80::/10): that address on that scope
//    (interface), exactly;
//  - for a global unicast IPv6 phone (2000::/3 and the unique local
//    fc00::/7, except the shared prefixes of Teredo 2001::/32): any address
//    of the same /64, since a phone may send from a temporary address of
//    its prefix;
//  - for any other IPv6 phone (loopback, ...): that address, exactly.
// A filter made without an address, or from one of another family or of a
// short length, matches nothing. Pure value type; no system calls.
class PeerAddressFilter {
public:
    PeerAddressFilter() = default;
    PeerAddressFilter(const sockaddr* phone, socklen_t length);

    bool accepts(const sockaddr* source, socklen_t length) const;

private:
    enum class Kind : uint8_t { None, Ipv4, LinkLocal, SamePrefix, Exact };

    // An address as 16 bytes (IPv4 in its mapped form) and its scope.
    struct Normalised {
        uint8_t bytes[16] = {};
        uint32_t scope = 0;
        bool valid = false;
    };
    static Normalised normalise(const sockaddr* address, socklen_t length);
    static Kind classify(const Normalised& address);

    Normalised phone_;
    Kind kind_ = Kind::None;
};

}  // namespace vexlink
