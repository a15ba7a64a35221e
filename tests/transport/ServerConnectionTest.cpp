// The control protocol and the building of a connection's streams, against
// scripted TCP peers and real UDP sockets on loopback addresses.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <sys/resource.h>

#include "TransportTestPeers.h"
#include "audio/VoiceDecoder.h"
#include "control/Settings.h"
#include "media/BluetoothMediaStream.h"
#include "media/VoicePacket.h"
#include "media/WifiMediaStream.h"
#include "transport/BtDeviceStream.h"
#include "transport/ServerConnection.h"
#include "transport/WinSockStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

const Bytes kHello = bytes({0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0});
const Bytes kSetupDefaultPort = bytes({0x66, 0, 0, 0, 6, 2, 2, 0, 0, 0xC0, 0x00});
const Bytes kStart = bytes({0x67, 0, 0, 0, 0});
const Bytes kCommand104 = bytes({0x68, 0, 0, 0, 0});
const Bytes kKeepAlive = bytes({0x69, 0, 0, 0, 0});

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A connection whose control stream is a WinSockStream to `peer`.
std::unique_ptr<ServerConnection> connectionTo(const ScriptedPeer& peer, int32_t mediaPort = 49152,
                                               std::unique_ptr<MediaStream> media = nullptr) {
    auto connection = std::make_unique<ServerConnection>();
    auto stream = std::make_unique<WinSockStream>("127.0.0.1", peer.port());
    EXPECT_EQ(stream->open(), 0);
    connection->adoptStreams(std::move(stream), std::move(media), mediaPort);
    return connection;
}

// Peer that reads `request` bytes, records them, then sends `reply`.
struct RequestReply {
    size_t request;
    Bytes reply;
};

ScriptedPeer::Script exchange(std::vector<RequestReply> steps, std::vector<Bytes>* seen) {
    return [steps = std::move(steps), seen](Fd& c) {
        for (const RequestReply& step : steps) {
            seen->push_back(recvBytes(c.get(), step.request));
            if (!step.reply.empty() && !sendAll(c.get(), step.reply)) return;
        }
        seesClose(c.get(), 20000);
    };
}

TEST(ControlMessages, HandshakeAndKeepAliveBytesAreExact) {
    std::vector<Bytes> seen;
    ScriptedPeer peer(exchange({{11, bytes({0x65, 0, 0, 0, 2, 0, 4})},
                                {11, bytes({0x66, 0, 0, 0, 1, 0})},
                                {5, bytes({0x67, 0, 0, 0, 1, 0})},
                                {5, bytes({0x68, 0, 0, 0, 1, 0})},
                                {5, {}}},
                               &seen));
    auto connection = connectionTo(peer);
    int32_t version = -1;
    EXPECT_EQ(connection->sendHello(version), 0);
    EXPECT_EQ(version, 4);
    EXPECT_EQ(connection->sendSetup(2, 2), 0);
    EXPECT_EQ(connection->sendStart(), 0);
    EXPECT_EQ(connection->sendCommand104(), 0);
    connection->sendKeepAlive();
    connection->close();
    peer.join();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0], kHello);
    EXPECT_EQ(seen[1], kSetupDefaultPort);
    EXPECT_EQ(seen[2], kStart);
    EXPECT_EQ(seen[3], kCommand104);
    EXPECT_EQ(seen[4], kKeepAlive);
}

TEST(ControlMessages, SetupCarriesTheConnectionsMediaPort) {
    for (int32_t port : {0, 50000, 8125}) {
        std::vector<Bytes> seen;
        ScriptedPeer peer(exchange({{11, bytes({0x66, 0, 0, 0, 1, 0})}}, &seen));
        auto connection = connectionTo(peer, port);
        EXPECT_EQ(connection->sendSetup(2, 2), 0);
        connection->close();
        peer.join();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0], bytes({0x66, 0, 0, 0, 6, 2, 2, 0, 0, (port >> 8) & 0xFF, port & 0xFF})) << port;
    }
}

// Status byte of a Setup reply -> result.
class ReplyStatus : public ::testing::TestWithParam<std::pair<int, int32_t>> {};

TEST_P(ReplyStatus, MapsAndConsumesTheWholeReply) {
    const auto [status, expected] = GetParam();
    std::vector<Bytes> seen;
    // Body of 4: status plus 3 bytes to skip; then a Start reply that only
    // parses if exactly those were consumed.
    ScriptedPeer peer(exchange({{11, bytes({0x66, 0, 0, 0, 4, status, 0xEE, 0xEE, 0xEE})},
                                {5, bytes({0x67, 0, 0, 0, 1, 0})}},
                               &seen));
    auto connection = connectionTo(peer);
    EXPECT_EQ(connection->sendSetup(2, 2), expected) << "status " << status;
    EXPECT_EQ(connection->sendStart(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryClass, ReplyStatus,
    ::testing::Values(std::make_pair(0, 0), std::make_pair(1, -10), std::make_pair(10, -10),
                      std::make_pair(12, -10), std::make_pair(13, -10), std::make_pair(2, -20),
                      std::make_pair(5, -20), std::make_pair(9, -20), std::make_pair(11, -20),
                      std::make_pair(14, -20), std::make_pair(100, -20), std::make_pair(255, -20)));

TEST(ControlReplies, WrongTypeGivesMinus10AndLeavesTheStatusUnread) {
    std::vector<Bytes> seen;
    ScriptedPeer peer(exchange({{11, bytes({0x66, 0, 0, 0, 2, 0x00, 0x04})}}, &seen));
    auto connection = connectionTo(peer);
    int32_t version = -7;
    EXPECT_EQ(connection->sendHello(version), -10);
    EXPECT_EQ(version, -7);
    uint8_t next[2] = {};
    connection->controlStream()->read(next, 2);
    EXPECT_EQ(Bytes(next, next + 2), bytes({0x00, 0x04}));
}

TEST(ControlReplies, HelloBodyLengthsBelowWhatIsReadSkipNothing) {
    // Lengths 0, 2 and FF FF FF FF all read status and version, skip nothing:
    // the following reply must parse.
    for (const Bytes& length : {bytes({0, 0, 0, 0}), bytes({0, 0, 0, 2}), bytes({0xFF, 0xFF, 0xFF, 0xFF})}) {
        std::vector<Bytes> seen;
        ScriptedPeer peer(exchange(
            {{11, concat({bytes({0x65}), length, bytes({0x00, 0x03})})}, {11, bytes({0x66, 0, 0, 0, 1, 0})}},
            &seen));
        auto connection = connectionTo(peer);
        int32_t version = -1;
        EXPECT_EQ(connection->sendHello(version), 0);
        EXPECT_EQ(version, 3);
        EXPECT_EQ(connection->sendSetup(2, 2), 0);
    }
}

TEST(ControlReplies, HelloBodyOfTenSkipsEightAndStatusStillCounts) {
    std::vector<Bytes> seen;
    ScriptedPeer peer(exchange({{11, bytes({0x65, 0, 0, 0, 10, 12, 5, 1, 2, 3, 4, 5, 6, 7, 8})},
                                {11, bytes({0x66, 0, 0, 0, 1, 0})}},
                               &seen));
    auto connection = connectionTo(peer);
    int32_t version = -1;
    EXPECT_EQ(connection->sendHello(version), -10);
    EXPECT_EQ(version, 5);  // stored whatever the status
    EXPECT_EQ(connection->sendSetup(2, 2), 0);
}

long maxRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(ControlReplies, HugeBodyIsConsumedInFullWithBoundedMemory) {
    constexpr uint32_t kExtra = 48u << 20;  // really sent
    const uint32_t length = kExtra + 2;
    std::atomic<bool> sentAll{false};
    ScriptedPeer peer([&](Fd& c) {
        recvBytes(c.get(), 11);
        sendAll(c.get(), bytes({0x65, static_cast<int>(length >> 24), static_cast<int>((length >> 16) & 0xFF),
                                static_cast<int>((length >> 8) & 0xFF), static_cast<int>(length & 0xFF), 0, 4}));
        Bytes chunk(1 << 16, 0x77);
        for (uint32_t left = kExtra; left > 0;) {
            const uint32_t n = left < chunk.size() ? left : static_cast<uint32_t>(chunk.size());
            if (!sendAll(c.get(), chunk.data(), n)) return;
            left -= n;
        }
        sentAll = true;
        recvBytes(c.get(), 11);
        sendAll(c.get(), bytes({0x66, 0, 0, 0, 1, 0}));
        seesClose(c.get(), 20000);
    });
    auto connection = connectionTo(peer);
    const long before = maxRssKb();
    int32_t version = -1;
    EXPECT_EQ(connection->sendHello(version), 0);
    EXPECT_EQ(version, 4);
    EXPECT_TRUE(sentAll);
    EXPECT_EQ(connection->sendSetup(2, 2), 0);
    EXPECT_LT(maxRssKb() - before, 16 * 1024) << "kB of peak memory grew while skipping";
}

TEST(ControlReplies, PeerClosingMidReplyThrowsCarryingZero) {
    ScriptedPeer peer([](Fd& c) {
        recvBytes(c.get(), 11);
        sendAll(c.get(), bytes({0x65, 0, 0}));
    });
    auto connection = connectionTo(peer);
    int32_t version = -1;
    try {
        connection->sendHello(version);
        FAIL() << "no exception";
    } catch (const SocketErrorException& e) {
        EXPECT_EQ(e.error(), 0);
    }
}

// Records the idle limits a connection sets on its control stream.
class LimitRecorder : public ControlStream {
public:
    explicit LimitRecorder(std::unique_ptr<ControlStream> inner, std::vector<int32_t>* limits)
        : inner_(std::move(inner)), limits_(limits) {}
    int32_t open() override { return inner_->open(); }
    void close() override { inner_->close(); }
    void read(uint8_t* b, int32_t n) override { inner_->read(b, n); }
    void write(const uint8_t* b, int32_t n) override { inner_->write(b, n); }
    void setReadIdleLimit(int32_t ms) override {
        limits_->push_back(ms);
        inner_->setReadIdleLimit(ms);
    }

private:
    std::unique_ptr<ControlStream> inner_;
    std::vector<int32_t>* limits_;
};

TEST(HandshakeLimit, SilentServerEndsTheReplyReadWithAnException) {
    ScriptedPeer peer([](Fd& c) {
        recvBytes(c.get(), 11);
        seesClose(c.get(), 20000);  // accepts, never answers
    });
    auto connection = connectionTo(peer);
    connection->setHandshakeReplyLimitMs(300);
    int32_t version = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(connection->sendHello(version), SocketErrorException);
    const long long waited = elapsedMs(start);
    EXPECT_GE(waited, 280);
    EXPECT_LT(waited, 4500);
    connection->close();
}

TEST(HandshakeLimit, SetOnlyAroundEachReplyAndClearedEvenOnFailure) {
    std::vector<int32_t> limits;
    std::vector<Bytes> seen;
    ScriptedPeer peer(exchange({{11, bytes({0x65, 0, 0, 0, 2, 0, 4})}, {11, bytes({0x66, 0, 0})}}, &seen));
    auto stream = std::make_unique<WinSockStream>("127.0.0.1", peer.port());
    ASSERT_EQ(stream->open(), 0);
    WinSockStream* raw = stream.get();
    ServerConnection connection;
    connection.adoptStreams(std::make_unique<LimitRecorder>(std::move(stream), &limits), nullptr, 49152);

    connection.sendKeepAlive();  // no reply read, no limit
    EXPECT_TRUE(limits.empty());
    int32_t version = -1;
    EXPECT_EQ(connection.sendHello(version), 0);
    EXPECT_EQ(limits, (std::vector<int32_t>{ServerConnection::kHandshakeReplyLimitMs, 0}));
    EXPECT_EQ(raw->readIdleLimit(), 0);

    limits.clear();
    connection.setHandshakeReplyLimitMs(700);
    EXPECT_THROW(connection.sendSetup(2, 2), SocketErrorException);  // peer ends mid-reply
    EXPECT_EQ(limits, (std::vector<int32_t>{700, 0}));
    EXPECT_EQ(raw->readIdleLimit(), 0);
}

TEST(HandshakeLimit, ReadsAfterTheHandshakeWaitLongerThanTheLimit) {
    ScriptedPeer peer([](Fd& c) {
        recvBytes(c.get(), 11);
        sendAll(c.get(), bytes({0x65, 0, 0, 0, 2, 0, 4}));
        // Silence well beyond the reply limit before the next byte.
        const auto from = std::chrono::steady_clock::now();
        while (elapsedMs(from) < 600) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sendAll(c.get(), bytes({0x42}));
        seesClose(c.get(), 20000);
    });
    auto connection = connectionTo(peer);
    connection->setHandshakeReplyLimitMs(150);
    int32_t version = -1;
    ASSERT_EQ(connection->sendHello(version), 0);
    uint8_t b = 0;
    EXPECT_NO_THROW(connection->controlStream()->read(&b, 1));
    EXPECT_EQ(b, 0x42);
}

TEST(ServerConnectionWithoutStreams, OperationsThrowInsteadOfCrashing) {
    ServerConnection connection;
    int32_t version = 0;
    EXPECT_THROW(connection.sendHello(version), SocketErrorException);
    EXPECT_THROW(connection.sendKeepAlive(), SocketErrorException);
    connection.interruptReads();
    connection.close();
    connection.close();
}

// ---- connect ----

class ConnectTest : public ::testing::Test {
protected:
    void SetUp() override { Settings::resetForTest(); }
    void TearDown() override { Settings::resetForTest(); }

    // A UDP port that is free right now (bound briefly, then released).
    static int32_t freeUdpPort() {
        Fd probe = boundSocket("::", SOCK_DGRAM);
        return probe.valid() ? localPort(probe.get()) : 0;
    }
};

TEST_F(ConnectTest, WifiOpensBothStreamsAndRunsTheHandshakeWithItsPort) {
    const int32_t mediaPort = freeUdpPort();
    std::vector<Bytes> seen;
    ScriptedPeer peer(exchange({{11, bytes({0x65, 0, 0, 0, 2, 0, 4})},
                                {11, bytes({0x66, 0, 0, 0, 1, 0})},
                                {5, bytes({0x67, 0, 0, 0, 1, 0})}},
                               &seen),
                      "::1");
    Settings::setTransportType(kTransportWifi);
    Settings::setWifiServerAddr("::1");
    Settings::setControlPort(peer.port());
    Settings::setMediaPort(mediaPort);

    ServerConnection connection;
    ASSERT_EQ(connection.connect(), 0);
    EXPECT_EQ(connection.mediaPort(), mediaPort);
    auto* media = dynamic_cast<WifiMediaStream*>(connection.mediaStream());
    ASSERT_NE(media, nullptr);
    EXPECT_EQ(localPort(media->socketFd()), mediaPort);
    ASSERT_NE(dynamic_cast<WinSockStream*>(connection.controlStream()), nullptr);

    int32_t version = -1;
    EXPECT_EQ(connection.sendHello(version), 0);
    EXPECT_EQ(connection.sendSetup(2, 2), 0);
    EXPECT_EQ(connection.sendStart(), 0);
    connection.close();
    EXPECT_EQ(connection.controlStream(), nullptr);
    EXPECT_EQ(connection.mediaStream(), nullptr);
    connection.close();
    peer.join();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], bytes({0x66, 0, 0, 0, 6, 2, 2, 0, 0, (mediaPort >> 8) & 0xFF, mediaPort & 0xFF}));

    // The media port is free again after close.
    Fd again = boundSocket("::", SOCK_DGRAM, static_cast<uint16_t>(mediaPort));
    EXPECT_TRUE(again.valid());
}

TEST_F(ConnectTest, RefusedControlPortGivesMinus30WithBothStreamsAllocated) {
    uint16_t port = 0;
    Fd holder = refusingPort("127.0.0.1", &port);
    Settings::setTransportType(kTransportWifi);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(port);
    Settings::setMediaPort(freeUdpPort());
    ServerConnection connection;
    EXPECT_EQ(connection.connect(), -30);
    ASSERT_NE(connection.controlStream(), nullptr);
    auto* media = dynamic_cast<WifiMediaStream*>(connection.mediaStream());
    ASSERT_NE(media, nullptr);
    EXPECT_EQ(media->socketFd(), -1);  // never opened
    connection.close();
}

TEST_F(ConnectTest, MediaPortAlreadyBoundGivesMinus31AndClosesTheControlConnection) {
    Fd blocker = boundSocket("::", SOCK_DGRAM);  // without address reuse
    ASSERT_TRUE(blocker.valid());
    std::atomic<bool> closedByClient{false};
    ScriptedPeer peer([&](Fd& c) { closedByClient = seesClose(c.get(), 10000); });
    Settings::setTransportType(kTransportWifi);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(peer.port());
    Settings::setMediaPort(localPort(blocker.get()));
    ServerConnection connection;
    EXPECT_EQ(connection.connect(), -31);
    peer.join();
    EXPECT_TRUE(peer.accepted());
    EXPECT_TRUE(closedByClient);
}

TEST_F(ConnectTest, UnknownTransportGivesMinus1WithNothingCreatedOrSent) {
    uint16_t port = 0;
    Fd listener = listeningSocket("127.0.0.1", &port);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setSoftApAddrForTest("127.0.0.1");
    Settings::setControlPort(port);
    Settings::setMediaPort(freeUdpPort());
    for (uint32_t type : {0u, 2u, 5u, 0xFFFFFFFFu}) {
        Settings::setTransportType(type);
        ServerConnection connection;
        EXPECT_EQ(connection.connect(), -1) << type;
        EXPECT_EQ(connection.controlStream(), nullptr);
        EXPECT_EQ(connection.mediaStream(), nullptr);
    }
    EXPECT_FALSE(waitReadable(listener.get(), 0)) << "a connection was attempted";
}

TEST_F(ConnectTest, SoftAccessPointConnectsToItsOwnAddress) {
    ScriptedPeer peer([](Fd& c) { seesClose(c.get(), 10000); });
    Settings::setTransportType(kTransportSoftAp);
    Settings::setWifiServerAddr("::1");  // the peer listens on 127.0.0.1 only
    Settings::setSoftApAddrForTest("127.0.0.1");
    Settings::setControlPort(peer.port());
    Settings::setMediaPort(freeUdpPort());
    ServerConnection connection;
    EXPECT_EQ(connection.connect(), 0);
    EXPECT_NE(dynamic_cast<WifiMediaStream*>(connection.mediaStream()), nullptr);
    connection.close();
    peer.join();
    EXPECT_TRUE(peer.accepted());
}

TEST_F(ConnectTest, BluetoothBuildsAnRfcommStreamAndAMediaStreamOverIt) {
    const uint8_t address[6] = {0x78, 0x95, 0x2A, 0x1F, 0x02, 0x04};
    Settings::setTransportType(kTransportBluetooth);
    Settings::setBtAddress(address);
    Settings::setMediaPort(49152);  // not used on Bluetooth
    ServerConnection connection;
    // No Bluetooth here: the stream cannot open.
    EXPECT_EQ(connection.connect(), -30);
    auto* control = dynamic_cast<BtDeviceStream*>(connection.controlStream());
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(std::memcmp(control->device().address, address, 6), 0);
    EXPECT_STREQ(control->device().name, "<unknown>");
    EXPECT_NE(dynamic_cast<BluetoothMediaStream*>(connection.mediaStream()), nullptr);
    EXPECT_EQ(connection.mediaPort(), 0);
    connection.close();
}

// ---- media side ----

class CountingDecoder : public VoiceDecoder {
public:
    bool open() override { return true; }
    void close() override {}
    bool decode(const uint8_t*, int32_t length, int16_t* pcm, int32_t& frameCount) override {
        lengths.push_back(length);
        for (int32_t i = 0; i < frameCount; ++i) pcm[i] = 0;
        return true;
    }
    std::vector<int32_t> lengths;
};

std::unique_ptr<WifiMediaStream> openMedia(uint16_t* port) {
    auto media = std::make_unique<WifiMediaStream>(0);
    EXPECT_EQ(media->open(), 0);
    media->setReceiveWaitMs(200);
    *port = localPort(media->socketFd());
    return media;
}

TEST(ConnectionMediaReads, PacketReadsUseTheConnectionsMediaStream) {
    uint16_t port = 0;
    ServerConnection connection;
    connection.adoptStreams(nullptr, openMedia(&port), port);
    CountingDecoder decoder;
    VoicePacket packet;

    Bytes v4 = bytes({0x04, 0x00, 0x00, 0x47, 0x01, 0x02, 0x00, 0x00, 0x03, 0xE8, 0x05});
    v4.resize(11 + 64, 0x33);
    ASSERT_TRUE(sendDatagram("127.0.0.1", port, v4));
    EXPECT_EQ(connection.readPacketV4(decoder, packet), 0);
    EXPECT_EQ(packet.rawSequence, 258);
    EXPECT_EQ(packet.timestamp, 1000u);
    EXPECT_EQ(packet.gainCode, 5);

    Bytes v3 = bytes({0xAB, 0xCD, 0x00, 0x10, 0x00, 0x40});
    v3.resize(6 + 64, 0x44);
    ASSERT_TRUE(sendDatagram("::1", port, v3));
    EXPECT_EQ(connection.readPacketV3(decoder, packet), 0);
    EXPECT_EQ(packet.rawSequence, 16);
    ASSERT_TRUE(sendDatagram("::1", port, v3));
    EXPECT_EQ(connection.readPacketV2(decoder, packet), 0);
    EXPECT_EQ(decoder.lengths, (std::vector<int32_t>{64, 64, 64}));

    EXPECT_EQ(connection.readPacketV4(decoder, packet), -40);  // nothing within the wait
}

TEST(ConnectionMediaReads, InterruptReadsEndsAWaitingRead) {
    uint16_t port = 0;
    auto media = openMedia(&port);
    media->setReceiveWaitMs(60000);
    ServerConnection connection;
    WifiMediaStream* raw = media.get();
    connection.adoptStreams(nullptr, std::move(media), port);

    std::atomic<pid_t> tid{0};
    std::atomic<bool> threw{false};
    std::thread reader([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        uint8_t b[11];
        try {
            raw->read(b, 11);
        } catch (const SocketErrorException&) {
            threw = true;
        }
    });
    while (tid == 0) std::this_thread::yield();
    ASSERT_TRUE(waitUntilPolling(tid));
    const auto start = std::chrono::steady_clock::now();
    connection.interruptReads();
    reader.join();
    EXPECT_TRUE(threw);
    EXPECT_LT(elapsedMs(start), 2000);
    connection.close();
}

TEST(ConnectionMediaReads, NoMediaStreamThrows) {
    ServerConnection connection;
    CountingDecoder decoder;
    VoicePacket packet;
    EXPECT_THROW(connection.readPacketV4(decoder, packet), SocketErrorException);
}

}  // namespace
}  // namespace vexlink
