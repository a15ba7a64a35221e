// Who may speak into the microphone: the source-address matcher on its own,
// and the media socket's binding (a port someone else holds, a host without
// IPv6).

#include <gtest/gtest.h>

#include <cerrno>

#include "TestPeers.h"
#include "media/WifiMediaStream.h"
#include "transport/PeerAddressFilter.h"
#include "transport/SocketUtil.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

struct MatchCase {
    const char* phone;
    const char* source;
    bool accepted;
};

const MatchCase kMatchCases[] = {
    // IPv4, in either form, exactly; the source port never counts.
    {"192.168.1.23", "192.168.1.23", true},
    {"192.168.1.23", "::ffff:192.168.1.23", true},
    {"::ffff:192.168.1.23", "192.168.1.23", true},
    {"::ffff:192.168.1.23", "::ffff:192.168.1.23", true},
    {"192.168.1.23", "192.168.1.24", false},
    {"::ffff:192.168.1.23", "::ffff:192.168.1.24", false},  // no prefix for mapped addresses
    {"192.168.1.23", "::192.168.1.23", false},
    {"192.168.1.23", "64:ff9b::c0a8:117", false},
    {"192.168.1.23", "2001:db8:1:2::10", false},
    // Global unicast and unique local IPv6: the phone's /64.
    {"2001:db8:1:2::10", "2001:db8:1:2::10", true},
    {"2001:db8:1:2::10", "2001:db8:1:2:9c4e:77ff:1:2", true},
    {"2001:db8:1:2::10", "2001:db8:1:3::10", false},
    {"fd12:3456:789a:1::5", "fd12:3456:789a:1:ffff::1", true},
    {"fd12:3456:789a:1::5", "fd12:3456:789a:2::5", false},
    {"2001:db8:1:2::10", "192.168.1.23", false},
    // Teredo: one relay's clients share the first 64 bits.
    {"2001:0:4136:e378:8000:63bf:3fff:fdd2", "2001:0:4136:e378:8000:63bf:3fff:fdd2", true},
    {"2001:0:4136:e378:8000:63bf:3fff:fdd2", "2001:0:4136:e378::1", false},
    // Link-local: the address on its interface only.
    {"fe80::1%1", "fe80::1%1", true},
    {"fe80::1%1", "fe80::1%2", false},
    {"fe80::1%1", "fe80::2%1", false},
    // Loopback and the rest: exactly.
    {"::1", "::1", true},
    {"::1", "::2", false},
    {"127.0.0.1", "127.0.0.2", false},
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.phone << " <- " << c.source; }

class PeerAddressMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(PeerAddressMatch, AcceptsOnlyThePhone) {
    const MatchCase& c = GetParam();
    socklen_t phoneLength = 0, sourceLength = 0;
    const sockaddr_storage phone = numericAddress(c.phone, phoneLength, 8125);
    const sockaddr_storage source = numericAddress(c.source, sourceLength, 40001);
    ASSERT_NE(phoneLength, 0u);
    ASSERT_NE(sourceLength, 0u);
    const PeerAddressFilter filter(reinterpret_cast<const sockaddr*>(&phone), phoneLength);
    EXPECT_EQ(filter.accepts(reinterpret_cast<const sockaddr*>(&source), sourceLength), c.accepted);
    // A truncated source address is never the phone's.
    EXPECT_FALSE(filter.accepts(reinterpret_cast<const sockaddr*>(&source), sourceLength - 1));
    // Without a phone nothing is accepted.
    EXPECT_FALSE(PeerAddressFilter().accepts(reinterpret_cast<const sockaddr*>(&source), sourceLength));
}

INSTANTIATE_TEST_SUITE_P(Table, PeerAddressMatch, ::testing::ValuesIn(kMatchCases));

// The port held by a plain socket, and by one that allows address reuse as a
// second client would: either way the media stream cannot have it and says
// why, so that the user can be told which port to change.
TEST(MediaSocket, APortHeldByAnotherSocketIsRefusedWithEaddrinuse) {
    for (bool holderReuses : {false, true}) {
        SCOPED_TRACE(holderReuses);
        Fd holder(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const int on = 1, off = 0;
        if (holderReuses) ::setsockopt(holder.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(holder.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        socklen_t length = 0;
        const sockaddr_storage any = numericAddress("::", length);
        ASSERT_EQ(::bind(holder.get(), reinterpret_cast<const sockaddr*>(&any), length), 0);
        WifiMediaStream stream(localPort(holder.get()));
        EXPECT_EQ(stream.open(), -10);
        EXPECT_EQ(stream.openError(), EADDRINUSE);
        holder.reset();
        EXPECT_EQ(stream.open(), 0);
        EXPECT_EQ(stream.openError(), 0);
    }
}

// Booted with IPv6 disabled, the host refuses AF_INET6 sockets: the media
// socket is then an IPv4 one on the same port. Other failures stay failures.
TEST(MediaSocket, WithoutIpv6TheSocketFallsBackToIpv4) {
    const SocketFactory noIpv6 = [](int domain, int type, int protocol) {
        if (domain == AF_INET6) {
            errno = EAFNOSUPPORT;
            return -1;
        }
        return ::socket(domain, type, protocol);
    };
    Fd fd(openBoundSocket(0, SOCK_DGRAM, noIpv6));
    ASSERT_TRUE(fd.valid());
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    ASSERT_EQ(bound.ss_family, AF_INET);
    EXPECT_EQ(reinterpret_cast<sockaddr_in&>(bound).sin_addr.s_addr, htonl(INADDR_ANY));
    ASSERT_TRUE(sendDatagram("127.0.0.1", localPort(fd.get()), {7, 8}));
    uint8_t buffer[4] = {};
    sockaddr_storage source{};
    socklen_t sourceLength = 0;
    EXPECT_EQ(recvDatagramFrom(buffer, 4, fd.get(), 5000, source, sourceLength), 2);
    EXPECT_TRUE(phoneAt("127.0.0.1").accepts(reinterpret_cast<const sockaddr*>(&source), sourceLength));

    const SocketFactory noSockets = [](int, int, int) {
        errno = EMFILE;
        return -1;
    };
    EXPECT_EQ(openBoundSocket(0, SOCK_DGRAM, noSockets), -1);
    EXPECT_EQ(errno, EMFILE);
}

}  // namespace
}  // namespace vexlink
