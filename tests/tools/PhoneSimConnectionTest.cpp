// The simulator against the client's real ServerConnection: the handshake,
// keep-alives and media packets must meet on the wire exactly.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <opus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SimTestSockets.h"
#include "audio/VoiceDecoder.h"
#include "control/Settings.h"
#include "media/BluetoothMediaStream.h"
#include "media/VoicePacket.h"
#include "tools/phonesim/PhoneSimulator.h"
#include "transport/ServerConnection.h"

using namespace vexlink::phonesim;
using namespace vexlink::phonesim::test;
using namespace std::chrono_literals;
using vexlink::ServerConnection;
using vexlink::Settings;
using vexlink::SocketErrorException;
using vexlink::VoicePacket;

namespace {

// libopus behind the client's decoder interface, kept local so that these
// cases depend only on the transport and media code.
class LibopusDecoder : public vexlink::VoiceDecoder {
public:
    ~LibopusDecoder() override { close(); }
    bool open() override {
        int err = 0;
        dec_ = opus_decoder_create(48000, 1, &err);
        return dec_ != nullptr;
    }
    void close() override {
        if (dec_) opus_decoder_destroy(dec_);
        dec_ = nullptr;
    }
    bool decode(const uint8_t* packet, int32_t length, int16_t* pcm, int32_t& frameCount) override {
        const int n = opus_decode(dec_, length > 0 ? packet : nullptr, length, pcm, frameCount, 0);
        if (n < 0) return false;
        frameCount = n;
        return true;
    }

private:
    OpusDecoder* dec_ = nullptr;
};

// A free UDP port number for the client's media socket.
uint16_t freeUdpPort() {
    UdpReceiver probe;
    return probe.port();
}

void configureWifi(uint16_t controlPort, uint16_t mediaPort) {
    Settings::resetForTest();
    Settings::setTransportType(3);
    ASSERT_TRUE(Settings::setWifiServerAddr("127.0.0.1"));
    Settings::setControlPort(controlPort);
    Settings::setMediaPort(mediaPort);
}

Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

// A control stream over one end of a socketpair: the client's side of a
// Bluetooth-like link.
class SocketPairStream : public vexlink::ControlStream {
public:
    explicit SocketPairStream(int fd) : fd_(fd) {}
    ~SocketPairStream() override { close(); }
    int32_t open() override { return 0; }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void read(uint8_t* buffer, int32_t length) override {
        int32_t done = 0;
        while (done < length) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) throw SocketErrorException(0);
            const ssize_t n = ::recv(fd_, buffer + done, static_cast<size_t>(length - done), 0);
            if (n <= 0) throw SocketErrorException(0);
            done += static_cast<int32_t>(n);
        }
    }
    void write(const uint8_t* buffer, int32_t length) override {
        if (length > 0 && ::send(fd_, buffer, static_cast<size_t>(length), MSG_NOSIGNAL) != length) {
            throw SocketErrorException(0);
        }
    }

private:
    int fd_;
};

}  // namespace

TEST(PhoneSimWithServerConnection, CompletesTheWifiExchangeByteForByte) {
    SimulatorConfig c;
    c.media.packetCount = 10;
    c.media.gainCode = 6;
    c.media.firstTimestampMs = 5000;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    const uint16_t mediaPort = freeUdpPort();
    configureWifi(sim.port(), mediaPort);

    ServerConnection connection;
    ASSERT_EQ(connection.connect(), 0);
    int32_t serverVersion = 0;
    EXPECT_EQ(connection.sendHello(serverVersion), 0);
    EXPECT_EQ(serverVersion, 4);
    EXPECT_EQ(connection.sendSetup(2, 2), 0);
    EXPECT_EQ(connection.sendStart(), 0);
    connection.sendKeepAlive();
    connection.sendKeepAlive();
    ASSERT_TRUE(sim.waitForMessages(kSimKeepAlive, 2, 5s));

    {
        const SimulatorRecord r = sim.snapshot();
        const SessionRecord& s = r.sessions[0];
        const Bytes expected = concat({{0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0},
                                       concat({{0x66, 0, 0, 0, 6, 2, 2}, be32(mediaPort)}),
                                       {0x67, 0, 0, 0, 0},
                                       {0x69, 0, 0, 0, 0},
                                       {0x69, 0, 0, 0, 0}});
        EXPECT_EQ(s.received, expected);
        ASSERT_EQ(s.messages.size(), 5u);
        EXPECT_EQ(s.setupMediaPort, mediaPort);
        ASSERT_EQ(s.replies.size(), 3u);
        EXPECT_EQ(s.replies[0].bytes, (Bytes{0x65, 0, 0, 0, 2, 0, 4}));
        EXPECT_EQ(s.replies[1].bytes, (Bytes{0x66, 0, 0, 0, 1, 0}));
        EXPECT_EQ(s.replies[2].bytes, (Bytes{0x67, 0, 0, 0, 1, 0}));
        EXPECT_EQ(s.mediaTarget, "127.0.0.1:" + std::to_string(mediaPort));
    }

    // The client's own reader takes the packets apart.
    LibopusDecoder clientDecoder, referenceDecoder;
    ASSERT_TRUE(clientDecoder.open() && referenceDecoder.open());
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    const SimulatorRecord r = sim.snapshot();
    auto packet = std::make_unique<VoicePacket>();
    for (uint32_t i = 0; i < 10; ++i) {
        packet->sampleCount = 960;
        ASSERT_EQ(connection.readPacketV4(clientDecoder, *packet), 0) << i;
        const SentPacket& sent = r.sessions[0].packets[i];
        EXPECT_EQ(packet->rawSequence, i);
        EXPECT_EQ(packet->timestamp, 5000 + 20 * i);
        EXPECT_EQ(packet->gainCode, 6);
        int16_t reference[960];
        int32_t count = 960;
        ASSERT_TRUE(referenceDecoder.decode(sent.payload.data(), static_cast<int32_t>(sent.payload.size()), reference, count));
        EXPECT_EQ(packet->sampleCount, 960);
        EXPECT_TRUE(std::equal(reference, reference + 960, packet->samples)) << i;
    }
    connection.close();
    ASSERT_TRUE(sim.waitFinished(5s));
    EXPECT_EQ(sim.snapshot().sessions[0].end, SessionEnd::ClientClosed);
}

TEST(PhoneSimWithServerConnection, VersionThreeServerSendsTheShortLayout) {
    SimulatorConfig c;
    c.control.serverVersion = 3;
    c.media.packetCount = 4;
    c.media.firstSequence = 0x0003FFFE;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    configureWifi(sim.port(), freeUdpPort());
    ServerConnection connection;
    ASSERT_EQ(connection.connect(), 0);
    int32_t serverVersion = 0;
    ASSERT_EQ(connection.sendHello(serverVersion), 0);
    EXPECT_EQ(serverVersion, 3);
    ASSERT_EQ(connection.sendSetup(2, 2), 0);
    ASSERT_EQ(connection.sendStart(), 0);
    LibopusDecoder decoder;
    ASSERT_TRUE(decoder.open());
    auto packet = std::make_unique<VoicePacket>();
    const uint16_t expected[] = {0xFFFE, 0xFFFF, 0x0000, 0x0001};
    for (uint16_t seq : expected) {
        packet->sampleCount = 960;
        ASSERT_EQ(connection.readPacketV3(decoder, *packet), 0);
        EXPECT_EQ(packet->rawSequence, seq);
    }
}

TEST(PhoneSimWithServerConnection, HandshakeMisbehaviourReachesTheClientAsItsResult) {
    struct Case {
        const char* name;
        void (*set)(ControlConfig&);
        int step;           // 0 Hello, 1 Setup, 2 Start
        int32_t result;     // expected result of that step; 1: throws
    };
    const Case cases[] = {
        {"hello of the wrong type", [](ControlConfig& k) { k.hello.type = kSimSetup; }, 0, -10},
        {"setup status 12", [](ControlConfig& k) { k.setup.status = 12; }, 1, -10},
        {"start status 2", [](ControlConfig& k) { k.start.status = 2; }, 2, -20},
        {"hello with a longer body", [](ControlConfig& k) { k.hello.extraBody = Bytes(8, 0xAA); }, 2, 0},
        {"hello declaring too little", [](ControlConfig& k) { k.hello.declaredLength = 0; }, 0, 0},
        {"setup closes", [](ControlConfig& k) { k.setup.action = ReplyAction::Close; }, 1, 1},
        {"start resets", [](ControlConfig& k) { k.start.action = ReplyAction::Reset; }, 2, 1},
        {"hello cut short", [](ControlConfig& k) { k.hello.action = ReplyAction::Close; k.hello.partialBytes = 4; }, 0, 1},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        SimulatorConfig c;
        c.media.enabled = false;
        tc.set(c.control);
        PhoneSimulator sim(c);
        ASSERT_TRUE(sim.start());
        configureWifi(sim.port(), freeUdpPort());
        ServerConnection connection;
        ASSERT_EQ(connection.connect(), 0);
        int32_t got = 0;
        int32_t version = -1;
        try {
            for (int step = 0; step <= tc.step; ++step) {
                got = step == 0 ? connection.sendHello(version) : step == 1 ? connection.sendSetup(2, 2) : connection.sendStart();
                if (step < tc.step) {
                    ASSERT_EQ(got, 0) << "step " << step;
                }
            }
        } catch (const SocketErrorException&) {
            got = 1;
        }
        EXPECT_EQ(got, tc.result);
    }
}

TEST(PhoneSimWithServerConnection, LinkCarriesHandshakeAndVoiceToTheClientReader) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    SimulatorConfig c;
    c.streamFd = pair[0];
    c.media.packetCount = 6;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());

    auto control = std::make_unique<SocketPairStream>(pair[1]);
    auto media = std::make_unique<vexlink::BluetoothMediaStream>(control.get());
    ServerConnection connection;
    connection.adoptStreams(std::move(control), std::move(media), 0);
    int32_t version = 0;
    ASSERT_EQ(connection.sendHello(version), 0);
    ASSERT_EQ(connection.sendSetup(2, 2), 0);
    ASSERT_EQ(connection.sendStart(), 0);
    LibopusDecoder decoder;
    ASSERT_TRUE(decoder.open());
    auto packet = std::make_unique<VoicePacket>();
    for (uint16_t i = 0; i < 6; ++i) {
        packet->sampleCount = 960;
        ASSERT_EQ(connection.readPacketV4(decoder, *packet), 0);
        EXPECT_EQ(packet->rawSequence, i);
        if (i == 2) connection.sendKeepAlive();  // a write while voice flows on the same link
    }
    ASSERT_TRUE(sim.waitForMessages(kSimKeepAlive, 1, 5s));
    EXPECT_EQ(sim.snapshot().sessions[0].received,
              concat({{0x65, 0, 0, 0, 6, 4, 4, 6, 2, 0, 0}, {0x66, 0, 0, 0, 6, 2, 2, 0, 0, 0, 0}, {0x67, 0, 0, 0, 0},
                      {0x69, 0, 0, 0, 0}}));
}
