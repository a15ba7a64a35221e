// A Bluetooth connection as the controller drives it: the ServerConnection
// over a BtDeviceStream and the BluetoothMediaStream that borrows it, with a
// connected local stream socket standing in for the RFCOMM link.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "BtTestSupport.h"
#include "control/Settings.h"
#include "media/BluetoothMediaStream.h"
#include "transport/BtDeviceStream.h"
#include "transport/ServerConnection.h"

namespace vexlink {
namespace {

using namespace bttest;

class BtConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        peer_ = pair[1];
        auto stream = std::make_unique<BtDeviceStream>(BtDeviceInfo{});
        stream->adoptSocket(pair[0]);
        stream_ = stream.get();
        auto media = std::make_unique<BluetoothMediaStream>(stream_);
        media_ = media.get();
        connection_.adoptStreams(std::move(stream), std::move(media), 0);
    }
    void TearDown() override { ::close(peer_); }

    void peerSend(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    std::vector<uint8_t> peerReceive(size_t n) {
        std::vector<uint8_t> bytes(n);
        const ssize_t got = ::recv(peer_, bytes.data(), n, MSG_WAITALL);
        bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
        return bytes;
    }
    // A voice read on its own thread, as the receive thread makes it.
    std::unique_ptr<BackgroundRead> voiceRead(int32_t length) {
        return std::make_unique<BackgroundRead>([this](uint8_t* b, int32_t n) { media_->read(b, n); },
                                                [this] { connection_.interruptReads(); }, length);
    }

    ServerConnection connection_;
    BtDeviceStream* stream_ = nullptr;      // owned by connection_
    BluetoothMediaStream* media_ = nullptr;  // owned by connection_
    int peer_ = -1;
};

TEST_F(BtConnectionTest, HandshakeKeepAliveAndVoiceShareTheLink) {
    // The phone's replies, queued before the requests are even sent.
    peerSend({0x65, 0, 0, 0, 2, 0, 4, 0x66, 0, 0, 0, 1, 0, 0x67, 0, 0, 0, 1, 0});
    int32_t serverVersion = 0;
    ASSERT_EQ(connection_.sendHello(serverVersion), 0);
    EXPECT_EQ(serverVersion, 4);
    ASSERT_EQ(connection_.sendSetup(2, 2), 0);
    ASSERT_EQ(connection_.sendStart(), 0);
    connection_.sendKeepAlive();

    const std::vector<uint8_t> expected = {
        0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0,  // Hello
        0x66, 0, 0, 0, 6, 2, 2, 0, 0, 0, 0,  // Setup: media port 0 on Bluetooth
        0x67, 0, 0, 0, 0,                    // Start
        0x69, 0, 0, 0, 0,                    // KeepAlive
    };
    EXPECT_EQ(peerReceive(expected.size()), expected);

    // After the handshake the same link carries voice, with no time limit.
    auto reader = voiceRead(6);
    ASSERT_TRUE(reader->waitUntilWaiting());
    peerSend({1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(reader->endsWithin(10s));
    EXPECT_FALSE(reader->outcome().threw);
    EXPECT_EQ(reader->bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(BtConnectionTest, SilentPhoneEndsTheHandshakeWithinTheReplyLimit) {
    connection_.setHandshakeReplyLimitMs(300);
    int32_t serverVersion = -1;
    const auto start = Clock::now();
    EXPECT_THROW(connection_.sendHello(serverVersion), SocketErrorException);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, kPromptly);
    EXPECT_EQ(serverVersion, -1);
}

TEST_F(BtConnectionTest, InterruptReadsEndsAWaitingVoiceRead) {
    {
        auto reader = voiceRead(11);
        ASSERT_TRUE(reader->waitUntilWaiting());
        connection_.interruptReads();
        ASSERT_TRUE(reader->endsWithin(kPromptly));
        EXPECT_TRUE(reader->outcome().threw);
    }
    // Teardown after the join, as the controller does it.
    connection_.close();
    EXPECT_EQ(connection_.controlStream(), nullptr);
}

TEST_F(BtConnectionTest, FailedKeepAliveEndsAWaitingVoiceRead) {
    auto reader = voiceRead(11);
    ASSERT_TRUE(reader->waitUntilWaiting());
    ASSERT_EQ(::shutdown(peer_, SHUT_RD), 0);  // the phone stops taking data but stays silent
    EXPECT_THROW(connection_.sendKeepAlive(), SocketErrorException);
    ASSERT_TRUE(reader->endsWithin(kPromptly));
    const ReadOutcome outcome = reader->outcome();
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.error, 0);
    EXPECT_FALSE(stream_->isOpen());
}

TEST(BtConnection, ConnectWithoutBluetoothInTheKernelReturnsMinus30) {
    const int probe = ::socket(AF_BLUETOOTH, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "this kernel has Bluetooth sockets";
    }
    Settings::resetForTest();
    const uint8_t address[6] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
    Settings::setTransportType(kTransportBluetooth);
    Settings::setBtAddress(address);
    ServerConnection connection;
    EXPECT_EQ(connection.connect(), -30);
    connection.close();
}

}  // namespace
}  // namespace vexlink
