// The socket level: the source-address matcher, the media socket on a host
// without IPv6, and where a signal or a peer can hurt a wait or a write.

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <tuple>

#include "TestPeers.h"
#include "transport/BtDeviceStream.h"
#include "transport/PeerAddressFilter.h"
#include "transport/SocketUtil.h"
#include "transport/WinSockStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

// Phone, source, accepted. Sources send from another port than the phone's.
const std::tuple<const char*, const char*, bool> kMatches[] = {
    {"192.168.1.23", "192.168.1.23", true},          {"192.168.1.23", "::ffff:192.168.1.23", true},
    {"::ffff:192.168.1.23", "192.168.1.23", true},   {"192.168.1.23", "192.168.1.24", false},
    {"::ffff:192.168.1.23", "::ffff:192.168.1.24", false}, {"192.168.1.23", "::192.168.1.23", false},
    {"192.168.1.23", "64:ff9b::c0a8:117", false},    {"2001:db8:1:2::10", "2001:db8:1:2:9c4e:77ff:1:2", true},
    {"2001:db8:1:2::10", "2001:db8:1:3::10", false}, {"fd12:3456:789a:1::5", "fd12:3456:789a:1:ffff::1", true},
    {"2001:db8:1:2::10", "192.168.1.23", false},     {"2001:0:4136:e378:8000:63bf:3fff:fdd2", "2001:0:4136:e378::1", false},
    {"fe80::1%1", "fe80::1%1", true},                {"fe80::1%1", "fe80::1%2", false},
    {"fe80::1%1", "fe80::2%1", false},               {"::1", "::1", true},
    {"::1", "::2", false},
};

TEST(PeerAddressFilter, AcceptsThePhoneOnlyInEachFamily) {
    for (const auto& [phone, source, accepted] : kMatches) {
        SCOPED_TRACE(std::string(phone) + " <- " + source);
        socklen_t length = 0;
        const sockaddr_storage from = numericAddress(source, length, 40001);
        const auto* address = reinterpret_cast<const sockaddr*>(&from);
        ASSERT_NE(length, 0u);
        EXPECT_EQ(phoneAt(phone).accepts(address, length), accepted);
        EXPECT_FALSE(phoneAt(phone).accepts(address, length - 1));  // truncated
        EXPECT_FALSE(PeerAddressFilter().accepts(address, length));  // no phone known
    }
}

// Booted with IPv6 disabled, the host refuses AF_INET6 sockets: the media
// socket is then an IPv4 one. Other failures stay failures.
TEST(MediaSocket, WithoutIpv6TheSocketFallsBackToIpv4) {
    const SocketFactory noIpv6 = [](int domain, int type, int protocol) {
        errno = EAFNOSUPPORT;
        return domain == AF_INET6 ? -1 : ::socket(domain, type, protocol);
    };
    Fd fd(openBoundSocket(0, SOCK_DGRAM, noIpv6));
    sockaddr_storage source{};
    socklen_t length = sizeof source;
    ASSERT_EQ(::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&source), &length), 0);
    EXPECT_EQ(source.ss_family, AF_INET);
    ASSERT_TRUE(sendDatagram("127.0.0.1", localPort(fd.get()), {7, 8}));
    EXPECT_TRUE(readable(fd.get(), 5000));
    EXPECT_EQ(openBoundSocket(0, SOCK_DGRAM, [](int, int, int) { return errno = EMFILE, -1; }), -1);
}

// A signal that cut the wait short used to leave it in a blocking receive.
// The handler is installed without SA_RESTART, as the Ctrl-C one is; a
// datagram sent by the unblock step releases a hang so the test fails.
TEST(RecvWithTimeout, SignalDuringTheWaitNeitherHangsNorLosesData) {
    struct sigaction action {}, previous {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, &previous);
    Fd rx = boundSocket("127.0.0.1", SOCK_DGRAM);
    for (bool dataFollows : {false, true}) {
        SCOPED_TRACE(dataFollows);
        uint8_t buffer[8] = {};
        int32_t result = -99;
        const auto start = Clock::now();
        Background wait([&] { result = recvWithTimeout(buffer, 8, rx.get(), dataFollows ? 10000 : 500); },
                        [&] { sendDatagram("127.0.0.1", localPort(rx.get()), {0}); });
        ASSERT_TRUE(wait.waiting());
        pthread_kill(wait.handle(), SIGUSR1);
        if (dataFollows) {
            ASSERT_TRUE(wait.waiting());
            ASSERT_TRUE(sendDatagram("127.0.0.1", localPort(rx.get()), {4, 5, 6}));
        }
        ASSERT_TRUE(wait.endsWithin(5s));
        EXPECT_EQ(result, dataFollows ? 3 : 0);
        EXPECT_EQ(Bytes(buffer, buffer + 3), dataFollows ? Bytes({4, 5, 6}) : Bytes(3, 0));
        EXPECT_LT(msSince(start), 5000);
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(WinSockStream, WriteAfterThePeerResetThrowsAndNoSigpipeEndsTheProcess) {
    std::signal(SIGPIPE, SIG_DFL);
    ScriptedPeer peer([](Fd& c) {
        const linger abort{1, 0};  // close with a reset
        ::setsockopt(c.get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    });
    WinSockStream stream("127.0.0.1", peer.port());
    ASSERT_EQ(stream.open(), 0);
    peer.join();
    const uint8_t data[256] = {};
    EXPECT_EQ(thrownError([&] { for (int i = 0; i < 200; ++i) stream.write(data, sizeof data); }), 0);
}

// A silent but connected peer only starts the next wait: a read on either
// control stream goes on past its first slice and takes what comes later.
TEST(StreamRead, ASilentPeerOnlyStartsTheNextWait) {
    static_assert(WinSockStream::kReadSliceMs == BtDeviceStream::kReadSliceMs);
    Fd listener = boundSocket("127.0.0.1", SOCK_STREAM);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    WinSockStream tcp("127.0.0.1", localPort(listener.get()));
    ASSERT_EQ(tcp.open(), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    BtDeviceStream bt(BtDeviceInfo{});
    bt.adoptSocket(pair[0]);
    const Fd peers[] = {Fd(::accept(listener.get(), nullptr, nullptr)), Fd(pair[1])};
    ControlStream* streams[] = {&tcp, &bt};
    uint8_t got[2][3] = {};
    std::unique_ptr<Background> reads[2];
    for (int i = 0; i < 2; ++i) {
        reads[i] = std::make_unique<Background>([&, i] { streams[i]->read(got[i], 3); }, [&, i] { streams[i]->interrupt(); });
    }
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(reads[i]->waitsPast(std::chrono::milliseconds(WinSockStream::kReadSliceMs) + 1s));
        ASSERT_TRUE(sendAll(peers[i].get(), {1, 2, 3}));
        ASSERT_TRUE(reads[i]->endsWithin(5s));
        EXPECT_FALSE(reads[i]->threw);
        EXPECT_EQ(Bytes(got[i], got[i] + 3), (Bytes{1, 2, 3}));
    }
}

}  // namespace
}  // namespace vexlink
