// The control connection against scripted peers on loopback addresses: the
// protocol and the building of the streams.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "PortReservation.h"
#include "TestPeers.h"
#include "media/WifiMediaStream.h"
#include "session/ServerConnection.h"
#include "settings/Settings.h"
#include "transport/WinSockStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

Bytes setupFor(int port) { return {0x66, 0, 0, 0, 6, 2, 2, 0, 0, uint8_t(port >> 8), uint8_t(port)}; }
Bytes okReply(uint8_t type) { return {type, 0, 0, 0, 1, 0}; }
const Bytes kHelloReply = {0x65, 0, 0, 0, 2, 0, 4};

// Peer: per step, reads `request` bytes (recorded in *seen if given) and
// sends the reply; then waits for the client to close.
std::function<void(Fd&)> exchange(std::vector<std::pair<size_t, Bytes>> steps, std::vector<Bytes>* seen = nullptr) {
    return [steps = std::move(steps), seen](Fd& c) {
        for (const auto& [request, reply] : steps) {
            if (Bytes got = recvBytes(c.get(), request); seen) seen->push_back(got);
            if (!sendAll(c.get(), reply)) return;
        }
        seesClose(c.get());
    };
}

std::unique_ptr<ServerConnection> over(const ScriptedPeer& peer) {
    auto connection = std::make_unique<ServerConnection>();
    connection->adoptStreams(std::make_unique<WinSockStream>("127.0.0.1", peer.port()), nullptr, 49152);
    EXPECT_EQ(connection->controlStream()->open(), 0);
    return connection;
}

// One session of replies to 11-byte requests (Hello or Setup); each reply
// parses only if the one before was consumed exactly.
TEST(ControlReplies, StatusBodyLengthAndTypeAreHandledAndConsumedExactly) {
    struct Case { bool hello; Bytes reply; int32_t result, version; Bytes unread; };  // version -7: left alone
    std::vector<Case> cases = {
        {true, {0x65, 0, 0, 0, 0, 0, 3}, 0, 3, {}},
        {true, {0x65, 0, 0, 0, 2, 0, 4}, 0, 4, {}},
        {true, {0x65, 0, 0, 0, 10, 12, 5, 1, 2, 3, 4, 5, 6, 7, 8}, -10, 5, {}},
        {true, {0x65, 0xFF, 0xFF, 0xFF, 0xFF, 0, 3}, 0, 3, {}},
        {true, {0x66, 0, 0, 0, 2, 0, 4}, -10, -7, {0, 4}},  // wrong type: the status is left unread
    };
    for (auto [status, result] : std::vector<std::pair<int, int32_t>>{
             {0, 0}, {1, -10}, {10, -10}, {12, -10}, {13, -10}, {2, -20}, {5, -20}, {9, -20}, {11, -20}, {14, -20},
             {100, -20}, {255, -20}}) {
        cases.push_back({false, {0x66, 0, 0, 0, 4, uint8_t(status), 0xEE, 0xEE, 0xEE}, result, -7, {}});
    }
    std::vector<std::pair<size_t, Bytes>> steps;
    for (const Case& c : cases) steps.push_back({11, c.reply});
    ScriptedPeer peer(exchange(steps));
    auto connection = over(peer);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.reply));
        int32_t version = -7;
        EXPECT_EQ(c.hello ? connection->sendHello(version) : connection->sendSetup(2, 2), c.result);
        EXPECT_EQ(version, c.version);
        Bytes rest(c.unread.size());
        connection->controlStream()->read(rest.data(), int32_t(rest.size()));
        EXPECT_EQ(rest, c.unread);
    }
}

TEST(ControlReplies, HugeBodyIsSkippedWithBoundedMemoryAndAPeerLeavingMidReplyThrowsZero) {
    constexpr uint32_t kExtra = 48u << 20, kLength = kExtra + 2;  // really sent
    ScriptedPeer peer([](Fd& c) {
        recvBytes(c.get(), 11);
        sendAll(c.get(), {0x65, kLength >> 24, (kLength >> 16) & 0xFF, (kLength >> 8) & 0xFF, kLength & 0xFF, 0, 4});
        const Bytes chunk(65536, 0x77);  // one buffer: the peer's memory counts too
        for (uint32_t i = 0; i < kExtra / chunk.size(); ++i) sendAll(c.get(), chunk);
        sendAll(c.get(), {0x66, 0, 0, 0, 1});
        recvBytes(c.get(), 11);  // then closes within the Setup reply
    });
    auto connection = over(peer);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    int32_t version = -1;
    EXPECT_EQ(connection->sendHello(version), 0);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_EQ(version, 4);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024) << "kB of peak memory grew while skipping";
    EXPECT_EQ(thrownError([&] { connection->sendSetup(2, 2); }), 0);  // the platform's socket error number
}

TEST(HandshakeLimit, OneDeadlineFromTheFirstRequestLiftedAtTheEnd) {
    ScriptedPeer peer(exchange({{11, kHelloReply}, {11, {}}}));  // never answers the Setup
    auto connection = over(peer);
    auto* stream = static_cast<WinSockStream*>(connection->controlStream());
    connection->setLimitsMs(0, 700);
    const auto start = Clock::now();
    connection->beginHandshake();
    int32_t version = -1;
    ASSERT_EQ(connection->sendHello(version), 0);
    EXPECT_THROW(connection->sendSetup(2, 2), SocketErrorException);
    EXPECT_GE(msSince(start), 690);
    EXPECT_LT(msSince(start), 4500);  // well inside one 5000 ms read slice
    connection->endHandshake();
    EXPECT_FALSE(stream->waitLimits().active());
}

class Connect : public ::testing::Test {
protected:
    // Settings for `type` towards address:controlPort, with a media port
    // that is free right now (returned).
    int32_t configure(uint32_t type, const char* address, uint16_t controlPort) {
        Settings::resetForTest();
        Settings::setTransportType(type);
        Settings::setWifiServerAddr(address);
        Settings::setSoftApAddrForTest("127.0.0.1");
        Settings::setControlPort(controlPort);
        Settings::setMediaPort(test::reservePort(SOCK_DGRAM));
        return Settings::getMediaPort();
    }
    ServerConnection connection;
};

TEST_F(Connect, WifiOpensBothStreamsAndSetupCarriesItsMediaPort) {
    std::vector<Bytes> seen;
    ScriptedPeer peer(exchange({{11, okReply(0x66)}}, &seen), "::1");
    const int32_t mediaPort = configure(kTransportWifi, "::1", peer.port());
    ASSERT_EQ(connection.connect(), 0);
    auto* media = dynamic_cast<WifiMediaStream*>(connection.mediaStream());
    ASSERT_NE(media, nullptr);
    EXPECT_EQ(localPort(media->socketFd()), mediaPort);
    EXPECT_EQ(connection.sendSetup(2, 2), 0);
    connection.close();
    peer.join();
    EXPECT_EQ(seen, std::vector<Bytes>{setupFor(mediaPort)});
    EXPECT_TRUE(boundSocket("::", SOCK_DGRAM, uint16_t(mediaPort)).valid()) << "port not released";
}

// The peer listens on 127.0.0.1 only; on ::1 its port is held but refuses.
TEST_F(Connect, RefusedControlPortGivesMinus30AndSoftAccessPointUsesItsOwnAddress) {
    ScriptedPeer peer([](Fd& c) { seesClose(c.get()); });
    Fd refusing = boundSocket("::1", SOCK_STREAM, peer.port());
    ASSERT_TRUE(refusing.valid());
    configure(kTransportWifi, "::1", peer.port());
    EXPECT_EQ(connection.connect(), -30);
    configure(kTransportSoftAp, "::1", peer.port());
    EXPECT_EQ(connection.connect(), 0);
    connection.close();
    peer.join();
    EXPECT_TRUE(peer.accepted());
}

TEST_F(Connect, MediaPortAlreadyBoundGivesMinus31AndClosesTheControlConnection) {
    bool closed = false;
    ScriptedPeer peer([&](Fd& c) { closed = seesClose(c.get(), 10000); });
    configure(kTransportWifi, "127.0.0.1", peer.port());
    Fd holder = boundSocket("::", SOCK_DGRAM);
    Settings::setMediaPort(localPort(holder.get()));
    EXPECT_EQ(connection.connect(), -31);
    peer.join();
    EXPECT_TRUE(peer.accepted());
    EXPECT_TRUE(closed);
}

TEST_F(Connect, UnknownTransportGivesMinus1WithNothingCreatedOrSent) {
    Fd listener = boundSocket("127.0.0.1", SOCK_STREAM);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    for (uint32_t type : {0u, 2u, 5u, 0xFFFFFFFFu}) {
        configure(type, "127.0.0.1", localPort(listener.get()));
        EXPECT_EQ(connection.connect(), -1) << type;
        EXPECT_EQ(connection.controlStream(), nullptr);
        EXPECT_EQ(connection.mediaStream(), nullptr);
    }
    EXPECT_FALSE(readable(listener.get(), 0)) << "a connection was attempted";
    int32_t version = 0;  // without streams every operation throws instead of crashing
    EXPECT_THROW(connection.sendHello(version), SocketErrorException);
    EXPECT_THROW(connection.sendKeepAlive(), SocketErrorException);
}

}  // namespace
}  // namespace vexlink
