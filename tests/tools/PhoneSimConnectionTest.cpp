// The simulator against the client's real ServerConnection: the handshake,
// keep-alives and media packets must meet on the wire exactly.
#include <gtest/gtest.h>

#include <memory>
#include <opus.h>

#include "SimTestSockets.h"
#include "audio/VoiceDecoder.h"
#include "media/VoicePacket.h"
#include "session/ServerConnection.h"
#include "settings/Settings.h"

using namespace vexlink::phonesim;
using namespace vexlink::phonesim::test;
using vexlink::ServerConnection;
using vexlink::Settings;
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
        frameCount = n;
        return n >= 0;
    }

    // True when `packet` holds exactly what this decoder makes of `payload`.
    bool sameAs(const Bytes& payload, const VoicePacket& packet) {
        int16_t pcm[960];
        int32_t count = 960;
        return decode(payload.data(), static_cast<int32_t>(payload.size()), pcm, count) && count == packet.sampleCount &&
               std::equal(pcm, pcm + count, packet.samples);
    }

private:
    OpusDecoder* dec_ = nullptr;
};

// A simulator on loopback and a ServerConnection through Hello, Setup and
// Start; the client's media port is a free one.
struct Session {
    explicit Session(SimulatorConfig c) : sim(std::move(c)) {
        if (!sim.start()) return;
        Settings::resetForTest();
        Settings::setTransportType(3);
        Settings::setWifiServerAddr("127.0.0.1");
        Settings::setControlPort(sim.port());
        mediaPort = UdpReceiver().port();
        Settings::setMediaPort(mediaPort);
        ok = connection.connect() == 0 && connection.sendHello(serverVersion) == 0 && connection.sendSetup(2, 2) == 0 &&
             connection.sendStart() == 0 && decoder.open();
    }
    PhoneSimulator sim;
    ServerConnection connection;
    LibopusDecoder decoder;
    uint16_t mediaPort = 0;
    int32_t serverVersion = 0;
    bool ok = false;
};

}  // namespace

TEST(PhoneSimWithServerConnection, CompletesTheWifiExchangeByteForByte) {
    SimulatorConfig c;
    c.media.packetCount = 10;
    c.media.gainCode = 6;
    c.media.firstTimestampMs = 5000;
    Session s(c);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.serverVersion, 4);
    s.connection.sendKeepAlive();
    ASSERT_TRUE(s.sim.waitForMessages(kSimKeepAlive, 1, 5s));
    ASSERT_TRUE(s.sim.waitForMediaFinished(10s));
    const SimulatorRecord r = s.sim.snapshot();
    const SessionRecord& rec = r.sessions[0];
    EXPECT_EQ(rec.received, concat({helloRequest(), setupRequest(s.mediaPort), startRequest(), keepAliveRequest()}));
    ASSERT_EQ(rec.replies.size(), 3u);
    EXPECT_EQ(rec.replies[0].bytes, kHelloOk);
    EXPECT_EQ(rec.replies[1].bytes, kSetupOk);
    EXPECT_EQ(rec.replies[2].bytes, kStartOk);
    EXPECT_EQ(rec.mediaTarget, "127.0.0.1:" + std::to_string(s.mediaPort));

    // The client's own reader takes the packets apart into exactly what an
    // independent decoder makes of the sent payloads.
    LibopusDecoder reference;
    ASSERT_TRUE(reference.open());
    auto packet = std::make_unique<VoicePacket>();
    for (uint32_t i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        packet->sampleCount = 960;
        ASSERT_EQ(s.connection.readPacketV4(s.decoder, *packet), 0);
        EXPECT_EQ(packet->rawSequence, i);
        EXPECT_EQ(packet->timestamp, 5000 + 20 * i);
        EXPECT_EQ(packet->gainCode, 6);
        EXPECT_EQ(packet->sampleCount, 960);
        EXPECT_TRUE(reference.sameAs(rec.packets[i].payload, *packet));
    }
    s.connection.close();
    ASSERT_TRUE(s.sim.waitFinished(5s));
    EXPECT_EQ(s.sim.snapshot().sessions[0].end, SessionEnd::ClientClosed);
}

TEST(PhoneSimWithServerConnection, VersionThreeServerSendsTheShortLayout) {
    SimulatorConfig c;
    c.control.serverVersion = 3;
    c.media.packetCount = 4;
    c.media.firstSequence = 0x0003FFFE;
    Session s(c);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.serverVersion, 3);
    ASSERT_TRUE(s.sim.waitForMediaFinished(10s));
    const SimulatorRecord r = s.sim.snapshot();
    LibopusDecoder reference;
    ASSERT_TRUE(reference.open());
    auto packet = std::make_unique<VoicePacket>();
    const uint16_t expectedSeq[] = {0xFFFE, 0xFFFF, 0x0000, 0x0001};
    for (int i = 0; i < 4; ++i) {
        packet->sampleCount = 960;
        ASSERT_EQ(s.connection.readPacketV3(s.decoder, *packet), 0);
        EXPECT_EQ(packet->rawSequence, expectedSeq[i]);
        EXPECT_TRUE(reference.sameAs(r.sessions[0].packets[i].payload, *packet)) << i;
    }
}
