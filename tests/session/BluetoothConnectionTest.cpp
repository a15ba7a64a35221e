// The connection over Bluetooth: how it builds its streams on a machine
// without Bluetooth in its kernel, and the handshake, keep-alive and voice
// over a BtDeviceStream with a local stream socket pair standing in for the
// RFCOMM link.

#include <bluetooth/bluetooth.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <cstring>

#include "TestPeers.h"
#include "media/BluetoothMediaStream.h"
#include "session/ServerConnection.h"
#include "settings/Settings.h"
#include "transport/BtDeviceStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

const BtDeviceInfo kDevice{{0x78, 0x95, 0x2A, 0x1F, 0x02, 0x04}, "<unknown>"};

TEST(BtDeviceStream, WithoutBluetoothInTheKernelOpenGivesMinus10AndConnectMinus30) {
    if (Fd probe(::socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM)); probe.valid()) GTEST_SKIP() << "has Bluetooth";
    Settings::resetForTest();
    Settings::setTransportType(kTransportBluetooth);
    Settings::setBtAddress(kDevice.address);
    ServerConnection connection;
    EXPECT_EQ(connection.connect(), -30);
    auto* control = dynamic_cast<BtDeviceStream*>(connection.controlStream());
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->open(), -10);
    EXPECT_EQ(std::memcmp(control->device().address, kDevice.address, 6), 0);
    EXPECT_NE(dynamic_cast<BluetoothMediaStream*>(connection.mediaStream()), nullptr);
    EXPECT_EQ(connection.mediaPort(), 0);
}

// A connection as the controller drives it, over a linked socket pair.
class BtLink : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        // Descriptor 0 is a valid link too (a daemon's standard input may be closed).
        if (pair[0] != local_) {
            ASSERT_EQ(::dup2(pair[0], local_), local_);
            ::close(pair[0]);
        }
        peer_.reset(pair[1]);
        auto stream = std::make_unique<BtDeviceStream>(kDevice);
        stream->adoptSocket(local_);
        stream_ = stream.get();
        media_ = new BluetoothMediaStream(stream_);
        connection_.adoptStreams(std::move(stream), std::unique_ptr<MediaStream>(media_), 0);
    }
    void send(const Bytes& b) { ASSERT_TRUE(sendAll(peer_.get(), b)); }
    // A voice read on its own thread, as the receive thread makes it.
    std::unique_ptr<Background> voiceRead(Bytes& into) {
        return std::make_unique<Background>([this, &into] { media_->read(into.data(), int32_t(into.size())); },
                                            [this] { connection_.interruptReads(); });
    }
    bool descriptorOpen() const { return ::fcntl(local_, F_GETFD) != -1; }

    ServerConnection connection_;
    BtDeviceStream* stream_ = nullptr;       // owned by connection_
    BluetoothMediaStream* media_ = nullptr;  // owned by connection_
    const int local_ = 0;                    // owned by stream_
    Fd peer_;
};

TEST_F(BtLink, HandshakeKeepAliveAndVoiceShareTheLinkWithExactLengthReads) {
    send(cat({{0x65, 0, 0, 0, 2, 0, 4}, {0x66, 0, 0, 0, 1, 0}, {0x67, 0, 0, 0, 1, 0}, {0x68, 0, 0, 0, 1, 0}}));
    int32_t version = 0;
    ASSERT_EQ(connection_.sendHello(version), 0);
    EXPECT_EQ(version, 4);
    ASSERT_EQ(connection_.sendSetup(2, 2), 0);
    ASSERT_EQ(connection_.sendStart(), 0);
    ASSERT_EQ(connection_.sendCommand104(), 0);
    connection_.sendKeepAlive();
    EXPECT_EQ(recvBytes(peer_.get(), 37), (Bytes{0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0,  // Hello
                                                 0x66, 0, 0, 0, 6, 2, 2, 0, 0, 0, 0,  // Setup: port 0
                                                 0x67, 0, 0, 0, 0, 0x68, 0, 0, 0, 0,  // Start, 104
                                                 0x69, 0, 0, 0, 0}));                 // KeepAlive
    Bytes voice(11);
    auto read = voiceRead(voice);
    ASSERT_TRUE(read->waiting());
    send({1, 2, 3, 4, 5});
    ASSERT_TRUE(eventually([&] {
        int queued = -1;
        return ::ioctl(local_, FIONREAD, &queued) == 0 && queued == 0 && read->waiting();
    }));  // took five, waits for the rest
    EXPECT_FALSE(read->endsWithin(0ms));
    send({6, 7, 8, 9, 10, 11, 12, 13});
    ASSERT_TRUE(read->endsWithin(10s));
    EXPECT_FALSE(read->threw);
    EXPECT_EQ(voice, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(media_->read(voice.data(), 2), 0);  // nothing past the 11 was taken
    EXPECT_EQ(voice[1], 13);
    send({9});  // the peer leaves mid-read
    peer_.reset();
    EXPECT_EQ(thrownError([&] { media_->read(voice.data(), 4); }), 0);
}

// A failed keep-alive (true) or interruptReads (false) ends a waiting read
// promptly and every later transfer; the descriptor stays reserved until
// close, so no read can wait on a number the system handed out again.
TEST_P(BtLink, FailedWriteOrInterruptEndsAWaitingReadAndEveryLaterTransfer) {
    Bytes voice(11);
    auto read = voiceRead(voice);
    ASSERT_TRUE(read->waiting());
    if (GetParam()) {
        ASSERT_EQ(::shutdown(peer_.get(), SHUT_RD), 0);  // the phone stops taking data, stays silent
        EXPECT_EQ(thrownError([&] { connection_.sendKeepAlive(); }), 0);
    } else {
        connection_.interruptReads();
    }
    ASSERT_TRUE(read->endsWithin(3500ms));  // well inside one 5000 ms read slice
    EXPECT_TRUE(read->threw);
    EXPECT_EQ(read->error, 0);
    EXPECT_FALSE(stream_->isOpen());
    EXPECT_THROW(connection_.sendKeepAlive(), SocketErrorException);
    EXPECT_THROW(media_->read(voice.data(), 1), SocketErrorException);
    EXPECT_TRUE(descriptorOpen());
    read.reset();
    connection_.close();
    EXPECT_FALSE(descriptorOpen());
}
INSTANTIATE_TEST_SUITE_P(FailedWriteOrInterrupt, BtLink, ::testing::Bool());

TEST_F(BtLink, SilentPhoneEndsTheHandshakeAtItsDeadline) {
    connection_.setLimitsMs(0, 300);
    int32_t version = -1;
    const auto start = Clock::now();
    connection_.beginHandshake();
    EXPECT_THROW(connection_.sendHello(version), SocketErrorException);
    EXPECT_GE(msSince(start), 300);
    EXPECT_LT(msSince(start), 3500);
    BluetoothMediaStream orphan(nullptr);  // a media stream without a control stream throws too
    EXPECT_THROW(orphan.read(nullptr, 1), SocketErrorException);
}

}  // namespace
}  // namespace vexlink
