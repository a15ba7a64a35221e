// The UDP media stream on real sockets: datagrams sent to 127.0.0.1 and ::1
// and served as a byte stream.

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>

#include "../transport/TransportTestPeers.h"
#include "media/WifiMediaStream.h"
#include "transport/SocketErrorException.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

Bytes pattern(size_t n, int seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

class WifiMediaStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(stream.open(), 0);
        port = localPort(stream.socketFd());
        ASSERT_NE(port, 0);
        stream.setReceiveWaitMs(2000);
    }
    bool send(const Bytes& b, const char* to = "127.0.0.1") { return sendDatagram(to, port, b); }

    WifiMediaStream stream{0};  // port 0: a free one, read back after open
    uint16_t port = 0;
};

TEST_F(WifiMediaStreamTest, OpenSetsUpTheSocketAndCloseIsRepeatable) {
    int size = 0;
    socklen_t len = sizeof size;
    ASSERT_EQ(getsockopt(stream.socketFd(), SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
    EXPECT_GE(size, WifiMediaStream::kMinReceiveBuffer);
    EXPECT_EQ(stream.bufferedCount(), 0);

    stream.close();
    EXPECT_EQ(stream.socketFd(), -1);
    stream.close();

    WifiMediaStream never(0);
    never.close();
    never.close();

    // Reopened on a fixed port: binds a new socket there.
    WifiMediaStream fixed(port);
    ASSERT_EQ(fixed.open(), 0);
    EXPECT_EQ(localPort(fixed.socketFd()), port);
    fixed.close();
}

TEST_F(WifiMediaStreamTest, OpenFailsOnAPortHeldByAnotherSocket) {
    Fd holder = boundSocket("::", SOCK_DGRAM);
    ASSERT_TRUE(holder.valid());
    WifiMediaStream blocked(localPort(holder.get()));
    EXPECT_EQ(blocked.open(), -10);
    EXPECT_EQ(blocked.socketFd(), -1);
}

TEST_F(WifiMediaStreamTest, TwoPacketsInOneDatagramNeedOneReceive) {
    const Bytes first = pattern(11, 1), second = pattern(20, 2);
    ASSERT_TRUE(send(concat(first, second)));
    uint8_t out[32];
    ASSERT_EQ(stream.read(out, 11), 0);
    EXPECT_EQ(Bytes(out, out + 11), first);
    EXPECT_EQ(stream.bufferedCount(), 20);
    // Any receive now would find nothing and fail; the second packet must be
    // served from the buffer alone.
    stream.setReceiveWaitMs(1);
    ASSERT_EQ(stream.read(out, 20), 0);
    EXPECT_EQ(Bytes(out, out + 20), second);
    EXPECT_EQ(stream.bufferedCount(), 0);
}

TEST_F(WifiMediaStreamTest, ShortPayloadGivesMinus30AndEmptiesTheBuffer) {
    ASSERT_TRUE(send(pattern(11 + 40, 3)));
    uint8_t out[64];
    ASSERT_EQ(stream.read(out, 11), 0);
    EXPECT_EQ(stream.read(out, 60), -30);
    EXPECT_EQ(stream.bufferedCount(), 0);
}

TEST_F(WifiMediaStreamTest, ReadFromEmptyBufferAppendsDatagramsUntilItHasEnough) {
    const Bytes five = pattern(5, 4), twenty = pattern(20, 5);
    ASSERT_TRUE(send(five));
    ASSERT_TRUE(send(twenty, "::1"));
    uint8_t out[16];
    ASSERT_EQ(stream.read(out, 11), 0);
    const Bytes all = concat(five, twenty);
    EXPECT_EQ(Bytes(out, out + 11), Bytes(all.begin(), all.begin() + 11));
    EXPECT_EQ(stream.bufferedCount(), 14);
    ASSERT_EQ(stream.read(out, 14), 0);
    EXPECT_EQ(Bytes(out, out + 14), Bytes(all.begin() + 11, all.end()));
}

TEST_F(WifiMediaStreamTest, NoDatagramGivesMinus20AndKeepsWhatArrived) {
    stream.setReceiveWaitMs(150);
    uint8_t out[16];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stream.read(out, 11), -20);
    EXPECT_GE(elapsedMs(start), 130);

    ASSERT_TRUE(send(pattern(5, 6)));
    EXPECT_EQ(stream.read(out, 11), -20);
    EXPECT_EQ(stream.bufferedCount(), 5);   // appended by the first pass
    EXPECT_EQ(stream.read(out, 11), -30);   // too few, and never completed
    EXPECT_EQ(stream.bufferedCount(), 0);
}

TEST_F(WifiMediaStreamTest, DefaultWaitIsThreeSeconds) {
    WifiMediaStream real(0);
    ASSERT_EQ(real.open(), 0);
    uint8_t out[11];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(real.read(out, 11), -20);
    const long long waited = elapsedMs(start);
    EXPECT_GE(waited, 2950);
    EXPECT_LT(waited, 8000);
}

TEST_F(WifiMediaStreamTest, ZeroLengthDatagramThrows) {
    ASSERT_TRUE(send({}));
    uint8_t out[4];
    try {
        stream.read(out, 4);
        FAIL() << "no exception";
    } catch (const SocketErrorException& e) {
        EXPECT_EQ(e.error(), 0);
    }
}

TEST_F(WifiMediaStreamTest, ResetDropsTheRestOfADatagram) {
    ASSERT_TRUE(send(concat(pattern(11, 7), pattern(11, 8))));
    uint8_t out[11];
    ASSERT_EQ(stream.read(out, 11), 0);
    stream.reset();
    EXPECT_EQ(stream.bufferedCount(), 0);
    const Bytes next = pattern(11, 9);
    ASSERT_TRUE(send(next));
    ASSERT_EQ(stream.read(out, 11), 0);
    EXPECT_EQ(Bytes(out, out + 11), next);
}

TEST_F(WifiMediaStreamTest, Ipv4AndIpv6DatagramsBothArrive) {
    uint8_t out[3];
    ASSERT_TRUE(send(bytes({1, 2, 3}), "127.0.0.1"));
    ASSERT_EQ(stream.read(out, 3), 0);
    EXPECT_EQ(Bytes(out, out + 3), bytes({1, 2, 3}));
    ASSERT_TRUE(send(bytes({4, 5, 6}), "::1"));
    ASSERT_EQ(stream.read(out, 3), 0);
    EXPECT_EQ(Bytes(out, out + 3), bytes({4, 5, 6}));
}

TEST_F(WifiMediaStreamTest, CountsOutsideTheBufferAreRefusedAndNothingIsWrittenPastIt) {
    constexpr uint8_t kCanary = 0xC5;
    Bytes out(1200, kCanary);

    // A count of 0 returns at once without receiving.
    ASSERT_TRUE(send(pattern(8, 10)));
    EXPECT_EQ(stream.read(out.data(), 0), 0);
    EXPECT_EQ(stream.bufferedCount(), 0);
    ASSERT_EQ(stream.read(out.data(), 8), 0);  // the datagram was still queued

    // Over-long and negative counts: -30, buffer emptied, destination untouched.
    ASSERT_TRUE(send(concat(pattern(4, 11), pattern(4, 12))));
    ASSERT_EQ(stream.read(out.data(), 4), 0);
    std::fill(out.begin(), out.end(), kCanary);
    EXPECT_EQ(stream.read(out.data(), 1025), -30);
    EXPECT_EQ(stream.bufferedCount(), 0);
    EXPECT_EQ(stream.read(out.data(), -1), -30);
    EXPECT_EQ(stream.read(out.data(), INT32_MIN), -30);
    EXPECT_EQ(std::count(out.begin(), out.end(), kCanary), 1200);

    // A datagram larger than the buffer is cut to 1024 bytes.
    const Bytes big = pattern(2000, 13);
    ASSERT_TRUE(send(big));
    ASSERT_EQ(stream.read(out.data(), 1024), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 1024), Bytes(big.begin(), big.begin() + 1024));
    EXPECT_EQ(std::count(out.begin() + 1024, out.end(), kCanary), 1200 - 1024);
    stream.setReceiveWaitMs(50);
    EXPECT_EQ(stream.read(out.data(), 1), -20);  // the excess is gone

    // Appending fills only the free part: 1000 + 100 bytes give 1024.
    const Bytes a = pattern(1000, 14), b = pattern(100, 15);
    ASSERT_TRUE(send(a));
    ASSERT_TRUE(send(b));
    stream.setReceiveWaitMs(2000);
    std::fill(out.begin(), out.end(), kCanary);
    ASSERT_EQ(stream.read(out.data(), 1024), 0);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 1000), a);
    EXPECT_EQ(Bytes(out.begin() + 1000, out.begin() + 1024), Bytes(b.begin(), b.begin() + 24));
    EXPECT_EQ(std::count(out.begin() + 1024, out.end(), kCanary), 1200 - 1024);
    EXPECT_EQ(stream.bufferedCount(), 0);
}

struct MediaReader {
    MediaReader(WifiMediaStream& s, int32_t count) {
        thread = std::thread([this, &s, count] {
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            try {
                result = s.read(buffer, count);
            } catch (const SocketErrorException&) {
                threw = true;
            }
            done = true;
        });
        while (tid == 0) std::this_thread::yield();
    }
    ~MediaReader() {
        if (thread.joinable()) thread.join();
    }
    uint8_t buffer[64] = {};
    std::atomic<pid_t> tid{0};
    std::atomic<int32_t> result{-99};
    std::atomic<bool> threw{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST_F(WifiMediaStreamTest, InterruptEndsABlockedReadAndEveryLaterOne) {
    stream.setReceiveWaitMs(60000);
    MediaReader reader(stream, 11);
    ASSERT_TRUE(waitUntilPolling(reader.tid));
    const auto start = std::chrono::steady_clock::now();
    stream.interrupt();
    reader.thread.join();
    EXPECT_TRUE(reader.threw);
    EXPECT_LT(elapsedMs(start), 2000);

    const int fd = stream.socketFd();
    EXPECT_NE(fd, -1);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);  // released only by close()
    uint8_t out[4];
    EXPECT_THROW(stream.read(out, 4), SocketErrorException);
    stream.close();

    // A fresh open is not interrupted.
    ASSERT_EQ(stream.open(), 0);
    stream.setReceiveWaitMs(50);
    EXPECT_EQ(stream.read(out, 4), -20);
}

}  // namespace
}  // namespace vexlink
