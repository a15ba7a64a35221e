// BluetoothMediaStream reads through the connection's control stream. The
// RFCOMM stream cannot be opened on a machine without Bluetooth, so the
// borrowed control stream here is the TCP one, which has the same contract.

#include <gtest/gtest.h>

#include <atomic>

#include "../transport/TransportTestPeers.h"
#include "media/BluetoothMediaStream.h"
#include "transport/WinSockStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

TEST(BluetoothMediaStream, ReadsExactCountsFromTheControlStreamAndOwnsNothing) {
    ScriptedPeer peer([](Fd& c) {
        setNoDelay(c.get());
        sendAll(c.get(), bytes({4, 0, 0, 7}));
        sendAll(c.get(), bytes({1, 2, 3, 4, 5, 6, 7, 8}));
        seesClose(c.get(), 20000);
    });
    WinSockStream control("127.0.0.1", peer.port());
    ASSERT_EQ(control.open(), 0);
    BluetoothMediaStream media(&control);
    EXPECT_EQ(media.open(), 0);

    uint8_t out[11] = {};
    EXPECT_EQ(media.read(out, 11), 0);
    EXPECT_EQ(Bytes(out, out + 11), bytes({4, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7}));

    // reset and close leave the borrowed stream alone.
    media.reset();
    media.close();
    EXPECT_EQ(media.read(out, 1), 0);
    EXPECT_EQ(out[0], 8);
    EXPECT_NE(control.socketFd(), -1);
    control.close();
}

TEST(BluetoothMediaStream, InterruptReachesTheBorrowedStreamAndNullIsRefused) {
    std::atomic<bool> closeNow{false};
    ScriptedPeer peer([&](Fd& c) {
        while (!closeNow) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // re-check only
        c.reset();
    });
    WinSockStream control("127.0.0.1", peer.port());
    ASSERT_EQ(control.open(), 0);
    BluetoothMediaStream media(&control);

    // interrupt() reaches the control stream and ends a waiting read.
    std::atomic<pid_t> tid{0};
    std::atomic<bool> threw{false};
    std::thread reader([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        uint8_t b[11];
        try {
            media.read(b, 11);
        } catch (const SocketErrorException&) {
            threw = true;
        }
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(waitUntilPolling(tid));
    const auto start = std::chrono::steady_clock::now();
    media.interrupt();
    reader.join();
    EXPECT_TRUE(threw);
    EXPECT_LT(elapsedMs(start), 2000);
    closeNow = true;
    peer.join();

    BluetoothMediaStream orphan(nullptr);
    uint8_t b[1];
    EXPECT_THROW(orphan.read(b, 1), SocketErrorException);
    orphan.interrupt();
}

}  // namespace
}  // namespace vexlink
