// Socket utilities on real loopback sockets: connecting, binding, and
// receiving with a time limit, including waits cut short by signals.

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/resource.h>

#include "TransportSignals.h"
#include "TransportTestPeers.h"
#include "transport/SocketUtil.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

class TcpConnectOn : public ::testing::TestWithParam<const char*> {};

TEST_P(TcpConnectOn, ConnectsToAListenerAndFailsOnARefusedPort) {
    uint16_t port = 0;
    Fd listener = listeningSocket(GetParam(), &port);
    ASSERT_TRUE(listener.valid());
    Fd client(tcpConnect(GetParam(), port, SOCK_STREAM));
    ASSERT_TRUE(client.valid());
    Fd server = acceptWithin(listener.get(), 5000);
    ASSERT_TRUE(server.valid());
    ASSERT_TRUE(sendAll(client.get(), bytes({1, 2, 3})));
    EXPECT_EQ(recvBytes(server.get(), 3), bytes({1, 2, 3}));

    uint16_t refused = 0;
    Fd holder = refusingPort(GetParam(), &refused);
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(tcpConnect(GetParam(), refused, SOCK_STREAM), -1);
}

INSTANTIATE_TEST_SUITE_P(Loopback, TcpConnectOn, ::testing::Values("127.0.0.1", "::1"));

TEST(TcpConnect, NullHostFails) { EXPECT_EQ(tcpConnect(nullptr, 8125, SOCK_STREAM), -1); }

TEST(OpenBoundSocket, StreamListensDatagramDoesNot) {
    Fd stream(openBoundSocket(0, SOCK_STREAM));
    Fd datagram(openBoundSocket(0, SOCK_DGRAM));
    ASSERT_TRUE(stream.valid());
    ASSERT_TRUE(datagram.valid());
    int accepting = -1;
    socklen_t len = sizeof accepting;
    ASSERT_EQ(getsockopt(stream.get(), SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len), 0);
    EXPECT_EQ(accepting, 1);
    // Dual stack: an IPv4 client reaches the IPv6 listener.
    Fd client(tcpConnect("127.0.0.1", localPort(stream.get()), SOCK_STREAM));
    EXPECT_TRUE(client.valid());

    ASSERT_EQ(getsockopt(datagram.get(), SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len), 0);
    EXPECT_EQ(accepting, 0);
}

TEST(OpenBoundSocket, PortHeldByAnotherSocketFails) {
    Fd holder = boundSocket("::", SOCK_DGRAM);
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(openBoundSocket(localPort(holder.get()), SOCK_DGRAM), -1);
}

// A connected TCP pair on 127.0.0.1.
struct TcpPair {
    TcpPair() {
        uint16_t port = 0;
        Fd listener = listeningSocket("127.0.0.1", &port);
        client.reset(tcpConnect("127.0.0.1", port, SOCK_STREAM));
        server = acceptWithin(listener.get(), 5000);
    }
    Fd client;
    Fd server;
};

TEST(RecvWithTimeout, ReturnsWhatArrivedAndZeroWhenSilentWithinTheLimit) {
    TcpPair pair;
    ASSERT_TRUE(pair.client.valid() && pair.server.valid());
    uint8_t buffer[16] = {};

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recvWithTimeout(buffer, sizeof buffer, pair.client.get(), 200), 0);
    const long long waited = elapsedMs(start);
    EXPECT_GE(waited, 180);
    EXPECT_LT(waited, 3000);

    ASSERT_TRUE(sendAll(pair.server.get(), bytes({9, 8, 7, 6, 5})));
    EXPECT_EQ(recvWithTimeout(buffer, 3, pair.client.get(), 5000), 3);
    EXPECT_EQ(recvWithTimeout(buffer + 3, 13, pair.client.get(), 5000), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 5), bytes({9, 8, 7, 6, 5}));
}

TEST(RecvWithTimeout, ClosedPeerGivesMinusOneAtOnce) {
    TcpPair pair;
    ASSERT_TRUE(pair.client.valid() && pair.server.valid());
    pair.server.reset();
    uint8_t buffer[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recvWithTimeout(buffer, sizeof buffer, pair.client.get(), 5000), -1);
    EXPECT_LT(elapsedMs(start), 2000);
}

TEST(RecvWithTimeout, ZeroLengthDatagramAndBadDescriptorGiveMinusOne) {
    Fd receiver = boundSocket("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(receiver.valid());
    ASSERT_TRUE(sendDatagram("127.0.0.1", localPort(receiver.get()), {}));
    uint8_t buffer[4];
    EXPECT_EQ(recvWithTimeout(buffer, sizeof buffer, receiver.get(), 5000), -1);
    EXPECT_EQ(recvWithTimeout(buffer, sizeof buffer, -1, 100), -1);
}

TEST(RecvWithTimeout, DescriptorsAboveTheSelectLimitWork) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int high = 1500;
    if (limit.rlim_cur <= static_cast<rlim_t>(high)) GTEST_SKIP() << "descriptor limit too low";
    Fd receiver = boundSocket("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(receiver.valid());
    Fd moved(fcntl(receiver.get(), F_DUPFD_CLOEXEC, high));
    ASSERT_GE(moved.get(), high);
    ASSERT_TRUE(sendDatagram("127.0.0.1", localPort(receiver.get()), bytes({1, 2})));
    uint8_t buffer[4];
    EXPECT_EQ(recvWithTimeout(buffer, sizeof buffer, moved.get(), 5000), 2);
    EXPECT_EQ(recvWithTimeout(buffer, sizeof buffer, moved.get(), 50), 0);
}

// Runs recvWithTimeout on its own thread so that a test can signal it.
struct WaitingReceiver {
    explicit WaitingReceiver(int fd, int32_t limitMs) {
        thread = std::thread([this, fd, limitMs] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            result = recvWithTimeout(buffer, sizeof buffer, fd, limitMs);
            done = true;
        });
    }
    ~WaitingReceiver() {
        if (thread.joinable()) thread.join();
    }
    uint8_t buffer[64] = {};
    std::atomic<pid_t> tid{0};
    std::atomic<int32_t> result{-99};
    std::atomic<bool> done{false};
    std::thread thread;
};

bool waitForTid(const WaitingReceiver& r) {
    for (int i = 0; i < 10000 && r.tid == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return r.tid != 0;
}

TEST(RecvWithTimeout, SignalDuringTheWaitNeverLeavesItBlockedInReceive) {
    NoRestartSignal signal;
    Fd receiver = boundSocket("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(receiver.valid());

    const auto start = std::chrono::steady_clock::now();
    WaitingReceiver r(receiver.get(), 600);
    ASSERT_TRUE(waitForTid(r));
    ASSERT_TRUE(waitUntilPolling(r.tid));
    signal.send(r.thread.native_handle());

    // Nothing is ever sent: the call must come back on its own. If it hung
    // in a blocking receive, a datagram releases it and the test fails.
    for (int i = 0; i < 5000 && !r.done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool cameBack = r.done;
    if (!cameBack) sendDatagram("127.0.0.1", localPort(receiver.get()), bytes({1}));
    r.thread.join();
    EXPECT_TRUE(cameBack);
    EXPECT_EQ(r.result, 0);
    EXPECT_LT(elapsedMs(start), 5000);
}

TEST(RecvWithTimeout, SignalStormNeitherRestartsTheLimitNorLosesData) {
    NoRestartSignal signal;
    Fd receiver = boundSocket("127.0.0.1", SOCK_DGRAM);
    ASSERT_TRUE(receiver.valid());

    {
        // Signals every few milliseconds: the wait still ends near its limit.
        const auto start = std::chrono::steady_clock::now();
        WaitingReceiver r(receiver.get(), 400);
        ASSERT_TRUE(waitForTid(r));
        const int sent = signal.storm(r.thread.native_handle(), r.done, std::chrono::seconds(8));
        r.thread.join();
        EXPECT_GT(sent, 5);
        EXPECT_EQ(r.result, 0);
        EXPECT_LT(elapsedMs(start), 4000);
    }
    {
        // A datagram that arrives after the wait was interrupted is received.
        WaitingReceiver r(receiver.get(), 10000);
        ASSERT_TRUE(waitForTid(r));
        ASSERT_TRUE(waitUntilPolling(r.tid));
        signal.send(r.thread.native_handle());
        ASSERT_TRUE(waitUntilPolling(r.tid));
        ASSERT_TRUE(sendDatagram("127.0.0.1", localPort(receiver.get()), bytes({4, 5, 6})));
        r.thread.join();
        EXPECT_EQ(r.result, 3);
        EXPECT_EQ(Bytes(r.buffer, r.buffer + 3), bytes({4, 5, 6}));
    }
}

TEST(SendNoSignal, WriteToAResetConnectionFailsWithoutSigpipe) {
    std::signal(SIGPIPE, SIG_DFL);  // a raised SIGPIPE would end this process
    TcpPair pair;
    ASSERT_TRUE(pair.client.valid() && pair.server.valid());
    resetConnection(pair.server);
    const uint8_t data[512] = {};
    long result = 0;
    for (int i = 0; i < 100 && result >= 0; ++i) result = sendNoSignal(pair.client.get(), data, sizeof data);
    EXPECT_EQ(result, -1);
}

}  // namespace
}  // namespace vexlink
