// BtDeviceStream: the order of the two service searches in open(), and the
// read / write / close / interrupt behaviour over a connected local stream
// socket pair taken over through adoptSocket (RFCOMM sockets behave the same
// way for everything tested here, and this machine has no Bluetooth).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "BtTestSupport.h"
#include "transport/BtDeviceStream.h"
#include "transport/BtServiceSearch.h"

namespace vexlink {
namespace {

using namespace bttest;

// A read on its own thread from the stream under test.
class StreamRead : public BackgroundRead {
public:
    StreamRead(BtDeviceStream& stream, int32_t length)
        : BackgroundRead([&stream](uint8_t* b, int32_t n) { stream.read(b, n); }, [&stream] { stream.interrupt(); },
                         length) {}
};

BtDeviceInfo testDevice() {
    BtDeviceInfo device;
    const uint8_t address[6] = {0x78, 0x95, 0x2A, 0x1F, 0x02, 0x04};
    std::memcpy(device.address, address, sizeof address);
    std::strcpy(device.name, "<unknown>");
    return device;
}

class BtDeviceStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        local_ = pair[0];
        peer_ = pair[1];
    }
    void TearDown() override {
        if (peer_ >= 0) ::close(peer_);
    }

    void adopt() {
        stream_.adoptSocket(local_);
        ASSERT_TRUE(stream_.isOpen());
    }
    void peerSend(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    }
    void closePeer() {
        ::close(peer_);
        peer_ = -1;
    }
    // Makes every later send on the stream's end fail (EPIPE) while its
    // receive side stays quiet and open.
    void peerStopsReceiving() { ASSERT_EQ(::shutdown(peer_, SHUT_RD), 0); }

    BtDeviceStream stream_{testDevice()};
    int local_ = -1;  // owned by stream_ once adopted
    int peer_ = -1;
};

struct ConnectCall {
    std::vector<uint8_t> address;
    std::string name;
    bool nameCheck;
    std::vector<uint8_t> uuid;
};

RfcommConnector recordingConnector(std::vector<ConnectCall>& calls, std::vector<int> results) {
    return [&calls, results](const uint8_t (&address)[6], const char* name, bool nameCheck,
                             const uint8_t (&uuid)[16]) {
        calls.push_back({std::vector<uint8_t>(address, address + 6), name ? name : "(none)", nameCheck,
                         std::vector<uint8_t>(uuid, uuid + 16)});
        return results.at(calls.size() - 1);
    };
}

const std::vector<uint8_t> kMicUuid(MicServiceUuid, MicServiceUuid + 16);
const std::vector<uint8_t> kSerialUuid(SerialPortUuid, SerialPortUuid + 16);

TEST_F(BtDeviceStreamTest, OpenConnectsThroughMicServiceWithoutSecondSearch) {
    std::vector<ConnectCall> calls;
    stream_.setConnector(recordingConnector(calls, {local_}));
    ASSERT_EQ(stream_.open(), 0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].uuid, kMicUuid);
    EXPECT_FALSE(calls[0].nameCheck);
    const BtDeviceInfo device = testDevice();
    EXPECT_EQ(calls[0].address, std::vector<uint8_t>(device.address, device.address + 6));
    EXPECT_TRUE(stream_.isOpen());

    // The descriptor handed back is the one the stream now talks through.
    const uint8_t hello[] = {0x65, 0x00};
    stream_.write(hello, sizeof hello);
    uint8_t got[2] = {};
    ASSERT_EQ(::recv(peer_, got, sizeof got, MSG_WAITALL), 2);
    EXPECT_EQ(std::memcmp(got, hello, 2), 0);
}

TEST_F(BtDeviceStreamTest, OpenFallsBackToSerialPortNamedVexmor) {
    std::vector<ConnectCall> calls;
    stream_.setConnector(recordingConnector(calls, {-1, local_}));
    ASSERT_EQ(stream_.open(), 0);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].uuid, kMicUuid);
    EXPECT_FALSE(calls[0].nameCheck);
    EXPECT_EQ(calls[1].uuid, kSerialUuid);
    EXPECT_TRUE(calls[1].nameCheck);
    EXPECT_EQ(calls[1].name, "Vexmor");
    EXPECT_TRUE(stream_.isOpen());
}

TEST_F(BtDeviceStreamTest, OpenFailsWhenNeitherSearchConnects) {
    std::vector<ConnectCall> calls;
    stream_.setConnector(recordingConnector(calls, {-1, -1}));
    EXPECT_EQ(stream_.open(), -10);
    EXPECT_EQ(calls.size(), 2u);
    EXPECT_FALSE(stream_.isOpen());
    uint8_t byte = 0;
    EXPECT_THROW(stream_.read(&byte, 1), SocketErrorException);
    EXPECT_THROW(stream_.write(&byte, 1), SocketErrorException);
    ::close(local_);
}

TEST(BtDeviceStream, OpenWithoutBluetoothInTheKernelReturnsMinus10) {
    const int probe = ::socket(AF_BLUETOOTH, SOCK_STREAM, 3 /* BTPROTO_RFCOMM */);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "this kernel has Bluetooth sockets";
    }
    BtDeviceStream stream(testDevice());
    EXPECT_EQ(stream.open(), -10);
    EXPECT_FALSE(stream.isOpen());
    stream.close();
    stream.close();
}

TEST_F(BtDeviceStreamTest, ZeroLengthTransfersTouchNothing) {
    uint8_t byte = 0;
    // Not even opened: nothing is attempted, so nothing fails.
    stream_.read(&byte, 0);
    stream_.read(&byte, -4);
    stream_.write(&byte, 0);
    stream_.write(&byte, -1);
    adopt();
    stream_.write(&byte, 0);
    peerSend({0x42});
    stream_.read(&byte, 0);
    stream_.read(&byte, 1);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(BtDeviceStreamTest, ReadCollectsExactLengthAcrossSplitArrivals) {
    adopt();
    {
        StreamRead reader(stream_, 11);
        ASSERT_TRUE(reader.waitUntilWaiting());
        peerSend({1, 2, 3, 4, 5});
        // The reader takes the five bytes and waits again for the rest.
        ASSERT_TRUE(waitUntilConsumed(local_));
        ASSERT_TRUE(reader.waitUntilWaiting());
        EXPECT_FALSE(reader.endsWithin(0ms));
        peerSend({6, 7, 8, 9, 10, 11, 12, 13});
        ASSERT_TRUE(reader.endsWithin(10s));
        EXPECT_FALSE(reader.outcome().threw);
        EXPECT_EQ(reader.bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    }
    // Nothing beyond the requested length was consumed.
    uint8_t rest[2] = {};
    stream_.read(rest, 2);
    EXPECT_EQ(rest[0], 12);
    EXPECT_EQ(rest[1], 13);
}

TEST_F(BtDeviceStreamTest, PeerCloseMakesReadThrowCarryingZero) {
    adopt();
    peerSend({9, 9});
    closePeer();
    uint8_t buffer[4];
    try {
        stream_.read(buffer, 4);  // two bytes, then the end of the stream
        FAIL() << "read returned";
    } catch (const SocketErrorException& e) {
        EXPECT_EQ(e.error(), 0);
    }
}

TEST_F(BtDeviceStreamTest, PeerCloseEndsAWaitingRead) {
    adopt();
    StreamRead reader(stream_, 5);
    ASSERT_TRUE(reader.waitUntilWaiting());
    closePeer();
    ASSERT_TRUE(reader.endsWithin(kPromptly));
    const ReadOutcome outcome = reader.outcome();
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.error, 0);
}

TEST_F(BtDeviceStreamTest, WriteDeliversEveryByteInOrder) {
    adopt();
    std::vector<uint8_t> data(300000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    // More than the socket buffers hold: the peer must drain while we send.
    auto received = std::async(std::launch::async, [this, n = data.size()] {
        std::vector<uint8_t> got(n);
        size_t have = 0;
        while (have < n) {
            const ssize_t r = ::recv(peer_, got.data() + have, n - have, 0);
            if (r <= 0) break;
            have += static_cast<size_t>(r);
        }
        got.resize(have);
        return got;
    });
    stream_.write(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(received.get(), data);
}

TEST_F(BtDeviceStreamTest, FailedWriteClosesTheStreamThenThrows) {
    adopt();
    peerSend({1, 2, 3});  // readable bytes must not make the stream usable again
    peerStopsReceiving();
    const uint8_t keepAlive[] = {0x69, 0, 0, 0, 0};
    try {
        stream_.write(keepAlive, sizeof keepAlive);
        FAIL() << "write returned";
    } catch (const SocketErrorException& e) {
        EXPECT_EQ(e.error(), 0);
    }
    EXPECT_FALSE(stream_.isOpen());
    uint8_t buffer[3];
    EXPECT_THROW(stream_.read(buffer, 3), SocketErrorException);
    EXPECT_THROW(stream_.write(keepAlive, 1), SocketErrorException);

    // The number stays reserved until close(), so no waiting read can end up
    // on a descriptor the system has handed out again.
    EXPECT_TRUE(descriptorIsOpen(local_));
    stream_.close();
    EXPECT_FALSE(descriptorIsOpen(local_));
    stream_.close();
}

TEST_F(BtDeviceStreamTest, FailedWriteEndsAReadWaitingOnAnotherThread) {
    adopt();
    StreamRead reader(stream_, 11);
    ASSERT_TRUE(reader.waitUntilWaiting());
    peerStopsReceiving();  // the peer's sending side stays open and silent
    const uint8_t keepAlive[] = {0x69, 0, 0, 0, 0};
    EXPECT_THROW(stream_.write(keepAlive, sizeof keepAlive), SocketErrorException);
    ASSERT_TRUE(reader.endsWithin(kPromptly));
    const ReadOutcome outcome = reader.outcome();
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(outcome.error, 0);
    EXPECT_TRUE(descriptorIsOpen(local_));
}

TEST_F(BtDeviceStreamTest, InterruptEndsAWaitingReadAndEveryLaterOne) {
    adopt();
    {
        StreamRead reader(stream_, 11);
        ASSERT_TRUE(reader.waitUntilWaiting());
        stream_.interrupt();
        ASSERT_TRUE(reader.endsWithin(kPromptly));
        const ReadOutcome outcome = reader.outcome();
        EXPECT_TRUE(outcome.threw);
        EXPECT_EQ(outcome.error, 0);
    }
    uint8_t byte;
    EXPECT_THROW(stream_.read(&byte, 1), SocketErrorException);
    EXPECT_FALSE(stream_.isOpen());
    // The descriptor is released only by close().
    EXPECT_TRUE(descriptorIsOpen(local_));
    stream_.close();
    EXPECT_FALSE(descriptorIsOpen(local_));
}

TEST_F(BtDeviceStreamTest, InterruptBeforeReadingMakesTheReadThrowAtOnce) {
    adopt();
    peerSend({1});
    stream_.interrupt();
    uint8_t byte;
    const auto start = Clock::now();
    EXPECT_THROW(stream_.read(&byte, 1), SocketErrorException);
    EXPECT_LT(Clock::now() - start, kPromptly);
}

TEST_F(BtDeviceStreamTest, IdleLimitEndsASilentRead) {
    adopt();
    stream_.setReadIdleLimit(300);
    uint8_t buffer[4];
    const auto start = Clock::now();
    EXPECT_THROW(stream_.read(buffer, 4), SocketErrorException);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 300ms);
    EXPECT_LT(waited, kPromptly);
    // The link itself is still fine.
    EXPECT_TRUE(stream_.isOpen());
    peerSend({1, 2, 3, 4});
    stream_.read(buffer, 4);
    EXPECT_EQ(buffer[3], 4);
}

TEST_F(BtDeviceStreamTest, IdleLimitLetsAReadAcrossArrivalsFinish) {
    adopt();
    stream_.setReadIdleLimit(60000);
    StreamRead reader(stream_, 3);
    ASSERT_TRUE(reader.waitUntilWaiting());
    peerSend({1});
    ASSERT_TRUE(waitUntilConsumed(local_));
    ASSERT_TRUE(reader.waitUntilWaiting());
    peerSend({2, 3});
    ASSERT_TRUE(reader.endsWithin(10s));
    EXPECT_FALSE(reader.outcome().threw);
}

TEST_F(BtDeviceStreamTest, CloseReleasesTheDescriptorOnceAndIsRepeatable) {
    stream_.close();  // never opened
    adopt();
    stream_.close();
    EXPECT_FALSE(stream_.isOpen());
    EXPECT_FALSE(descriptorIsOpen(local_));
    stream_.close();
    uint8_t byte = 0;
    EXPECT_THROW(stream_.read(&byte, 1), SocketErrorException);
    EXPECT_THROW(stream_.write(&byte, 1), SocketErrorException);
}

TEST_F(BtDeviceStreamTest, DestructorReleasesTheDescriptor) {
    {
        BtDeviceStream stream(testDevice());
        stream.adoptSocket(local_);
    }
    EXPECT_FALSE(descriptorIsOpen(local_));
}

TEST(BtDeviceStream, KeepsItsOwnCopyOfTheDevice) {
    BtDeviceInfo device = testDevice();
    BtDeviceStream stream(device);
    device.address[0] = 0;
    std::strcpy(device.name, "changed");
    EXPECT_EQ(stream.device().address[0], 0x78);
    EXPECT_STREQ(stream.device().name, "<unknown>");
    EXPECT_FALSE(stream.isOpen());
}

}  // namespace
}  // namespace vexlink
