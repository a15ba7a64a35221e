#include "transport/PeerAddressFilter.h"

#include <cstring>
#include <netinet/in.h>

namespace vexlink {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool isMapped(const uint8_t* bytes) { return std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0; }

}  // namespace

PeerAddressFilter::PeerAddressFilter(const sockaddr* phone, socklen_t length) : phone_(normalise(phone, length)) {
    kind_ = phone_.valid ? classify(phone_) : Kind::None;
}

PeerAddressFilter::Normalised PeerAddressFilter::normalise(const sockaddr* address, socklen_t length) {
    Normalised out;
    if (address == nullptr) return out;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in v4;
        std::memcpy(&v4, address, sizeof v4);
        std::memcpy(out.bytes, kMappedPrefix, sizeof kMappedPrefix);
        std::memcpy(out.bytes + 12, &v4.sin_addr, 4);
        out.valid = true;
    } else if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 v6;
        std::memcpy(&v6, address, sizeof v6);
        std::memcpy(out.bytes, &v6.sin6_addr, 16);
        // A scope means something for link-local addresses only; a mapped
        // IPv4 address compares equal to the plain one, which has none.
        out.scope = isMapped(out.bytes) ? 0 : v6.sin6_scope_id;
        out.valid = true;
    }
    return out;
}

PeerAddressFilter::Kind PeerAddressFilter::classify(const Normalised& address) {
    const uint8_t* b = address.bytes;
    if (isMapped(b)) return Kind::Ipv4;
    if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return Kind::LinkLocal;
    // Teredo addresses of one relay share their first 64 bits whoever they
    // belong to: only the exact address is the phone's.
    if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0 && b[3] == 0) return Kind::Exact;
    if ((b[0] & 0xE0) == 0x20 || (b[0] & 0xFE) == 0xFC) return Kind::SamePrefix;
    return Kind::Exact;
}

bool PeerAddressFilter::accepts(const sockaddr* source, socklen_t length) const {
    if (kind_ == Kind::None) return false;
    const Normalised from = normalise(source, length);
    if (!from.valid) return false;
    switch (kind_) {
        case Kind::Ipv4:
            return std::memcmp(from.bytes, phone_.bytes, 16) == 0;
        case Kind::SamePrefix:
            return std::memcmp(from.bytes, phone_.bytes, 8) == 0;
        case Kind::LinkLocal:
        case Kind::Exact:
            return std::memcmp(from.bytes, phone_.bytes, 16) == 0 && from.scope == phone_.scope;
        case Kind::None:
            break;
    }
    return false;
}

}  // namespace vexlink
