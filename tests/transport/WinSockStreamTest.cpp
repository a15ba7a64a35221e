// The TCP control stream against small scripted peers on 127.0.0.1 and ::1.

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>

#include "TransportSignals.h"
#include "TransportTestPeers.h"
#include "transport/WinSockStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

pid_t currentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

TEST(WinSockStream, OpenFailsOnARefusedPortAndCloseIsAlwaysHarmless) {
    uint16_t port = 0;
    Fd holder = refusingPort("127.0.0.1", &port);
    WinSockStream stream("127.0.0.1", port);
    stream.close();
    EXPECT_EQ(stream.open(), -10);
    EXPECT_EQ(stream.socketFd(), -1);
    stream.close();
    stream.close();

    // Zero-length transfers return without touching the (absent) socket.
    uint8_t b = 0;
    EXPECT_NO_THROW(stream.read(&b, 0));
    EXPECT_NO_THROW(stream.write(&b, 0));
    EXPECT_NO_THROW(stream.read(&b, -5));
    EXPECT_THROW(stream.read(&b, 1), SocketErrorException);
}

class WinSockStreamOn : public ::testing::TestWithParam<const char*> {};

TEST_P(WinSockStreamOn, ReadCollectsSplitArrivalsAndWriteDeliversEverything) {
    Bytes received;
    ScriptedPeer peer(
        [&](Fd& c) {
            setNoDelay(c.get());
            sendAll(c.get(), bytes({1, 2, 3, 4, 5}));
            sendAll(c.get(), bytes({6, 7, 8, 9, 10, 11}));
            received = recvBytes(c.get(), 3000);
        },
        GetParam());
    WinSockStream stream(GetParam(), peer.port());
    ASSERT_EQ(stream.open(), 0);
    uint8_t buffer[11] = {};
    stream.read(buffer, 11);
    EXPECT_EQ(Bytes(buffer, buffer + 11), bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));

    Bytes big(3000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    stream.write(big.data(), static_cast<int32_t>(big.size()));
    peer.join();
    EXPECT_EQ(received, big);
}

INSTANTIATE_TEST_SUITE_P(Loopback, WinSockStreamOn, ::testing::Values("127.0.0.1", "::1"));

TEST(WinSockStream, PeerClosingDuringAReadThrowsCarryingZero) {
    const pid_t reader = currentTid();
    ScriptedPeer peer([&](Fd& c) {
        sendAll(c.get(), bytes({1, 2}));
        waitUntilPolling(reader);
        c.reset();
    });
    WinSockStream stream("127.0.0.1", peer.port());
    ASSERT_EQ(stream.open(), 0);
    uint8_t buffer[4];
    try {
        stream.read(buffer, 4);
        FAIL() << "read returned";
    } catch (const SocketErrorException& e) {
        EXPECT_EQ(e.error(), 0);
    }
}

TEST(WinSockStream, IdleLimitEndsASilentReadAndZeroLiftsIt) {
    std::atomic<bool> release{false};
    ScriptedPeer peer([&](Fd& c) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // re-check only
        sendAll(c.get(), bytes({0x5A}));
    });
    WinSockStream stream("127.0.0.1", peer.port());
    ASSERT_EQ(stream.open(), 0);
    uint8_t b = 0;

    stream.setReadIdleLimit(250);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(stream.read(&b, 1), SocketErrorException);
    const long long waited = elapsedMs(start);
    EXPECT_GE(waited, 230);
    EXPECT_LT(waited, 4500);  // well inside one 5000 ms slice

    // Without a limit the read outlasts it and gets the byte.
    stream.setReadIdleLimit(0);
    std::thread releaser([&] {
        const auto from = std::chrono::steady_clock::now();
        while (elapsedMs(from) < 600) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        release = true;
    });
    EXPECT_NO_THROW(stream.read(&b, 1));
    releaser.join();
    EXPECT_EQ(b, 0x5A);
}

TEST(WinSockStream, InterruptEndsAReadWaitingOnAnotherThreadAndKeepsTheDescriptor) {
    ScriptedPeer peer([](Fd& c) { seesClose(c.get(), 20000); });
    WinSockStream stream("127.0.0.1", peer.port());
    ASSERT_EQ(stream.open(), 0);
    const int fd = stream.socketFd();

    std::atomic<pid_t> tid{0};
    std::atomic<bool> threw{false};
    std::thread reader([&] {
        tid = currentTid();
        uint8_t buffer[8];
        try {
            stream.read(buffer, 8);
        } catch (const SocketErrorException&) {
            threw = true;
        }
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(waitUntilPolling(tid));
    const auto start = std::chrono::steady_clock::now();
    stream.interrupt();
    reader.join();
    EXPECT_TRUE(threw);
    EXPECT_LT(elapsedMs(start), 2000);

    EXPECT_EQ(stream.socketFd(), fd);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);  // still ours until close()
    uint8_t b;
    EXPECT_THROW(stream.read(&b, 1), SocketErrorException);  // later reads too
    stream.close();
    peer.join();
}

TEST(WinSockStream, SignalsDuringAReadNeitherEndNorCorruptIt) {
    NoRestartSignal signal;
    std::atomic<pid_t> tid{0};
    std::atomic<bool> go{false};
    ScriptedPeer peer([&](Fd& c) {
        setNoDelay(c.get());
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // re-check only
        sendAll(c.get(), bytes({0x10, 0x20}));
        waitUntilPolling(tid);
        sendAll(c.get(), bytes({0x30, 0x40}));
        seesClose(c.get(), 20000);
    });
    WinSockStream stream("127.0.0.1", peer.port());
    ASSERT_EQ(stream.open(), 0);

    std::atomic<bool> done{false};
    uint8_t buffer[4] = {};
    std::atomic<bool> ok{false};
    std::thread reader([&] {
        tid = currentTid();
        try {
            stream.read(buffer, 4);
            ok = true;
        } catch (const SocketErrorException&) {
        }
        done = true;
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(waitUntilPolling(tid));
    EXPECT_GT(signal.storm(reader.native_handle(), done, std::chrono::milliseconds(150)), 3);
    EXPECT_FALSE(done);  // a signal is no failure of the link
    go = true;
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(Bytes(buffer, buffer + 4), bytes({0x10, 0x20, 0x30, 0x40}));
    stream.close();
}

TEST(WinSockStream, WriteAfterThePeerResetThrowsAndTheProcessSurvives) {
    std::signal(SIGPIPE, SIG_DFL);
    ScriptedPeer peer([](Fd& c) { resetConnection(c); });
    WinSockStream stream("127.0.0.1", peer.port());
    ASSERT_EQ(stream.open(), 0);
    peer.join();
    const uint8_t data[256] = {};
    bool threw = false;
    for (int i = 0; i < 200 && !threw; ++i) {
        try {
            stream.write(data, sizeof data);
        } catch (const SocketErrorException& e) {
            threw = true;
            EXPECT_EQ(e.error(), 0);
        }
    }
    EXPECT_TRUE(threw);
    EXPECT_NE(stream.socketFd(), -1);  // left for the owner's close()
    stream.close();
}

}  // namespace
}  // namespace vexlink
