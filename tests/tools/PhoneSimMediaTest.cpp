#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <opus.h>
#include <set>
#include <sys/socket.h>

#include "SimTestSockets.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/ImpairmentModel.h"
#include "tools/phonesim/PhoneSimulator.h"
#include "tools/phonesim/ToneSignal.h"

using namespace vexlink::phonesim;
using namespace vexlink::phonesim::test;
using namespace std::chrono_literals;

namespace {

struct V4 {
    uint16_t length, sequence;
    uint32_t timestamp;
    uint8_t gain;
    Bytes payload;
};

bool parseV4(const Bytes& d, V4& out) {
    if (d.size() < 11 || d[0] != 4 || d[1] != 0) return false;
    out.length = static_cast<uint16_t>(d[2] << 8 | d[3]);
    out.sequence = static_cast<uint16_t>(d[4] << 8 | d[5]);
    out.timestamp = static_cast<uint32_t>(d[6]) << 24 | static_cast<uint32_t>(d[7]) << 16 |
                    static_cast<uint32_t>(d[8]) << 8 | d[9];
    out.gain = d[10];
    out.payload.assign(d.begin() + 11, d.end());
    return out.length == out.payload.size() + 7;
}

// Hello, Setup with the media port, Start; true when all three replies came.
bool handshake(RawClient& client, uint32_t mediaPort, uint8_t expectedVersion = 4) {
    if (!client.send(helloRequest()) || client.read(7) != Bytes{0x65, 0, 0, 0, 2, 0, expectedVersion}) return false;
    if (!client.send(setupRequest(mediaPort)) || client.read(6) != Bytes{0x66, 0, 0, 0, 1, 0}) return false;
    return client.send(startRequest()) && client.read(6) == Bytes{0x67, 0, 0, 0, 1, 0};
}

// Decodes payloads in order with a fresh libopus decoder.
std::vector<int16_t> decodeAll(const std::vector<Bytes>& payloads) {
    int err = 0;
    OpusDecoder* dec = opus_decoder_create(48000, 1, &err);
    std::vector<int16_t> out;
    int16_t frame[960];
    for (const auto& p : payloads) {
        const int n = opus_decode(dec, p.data(), static_cast<opus_int32>(p.size()), frame, 960, 0);
        EXPECT_EQ(n, 960);
        if (n > 0) out.insert(out.end(), frame, frame + n);
    }
    opus_decoder_destroy(dec);
    return out;
}

// Best normalised correlation of decoded against source over codec delays
// up to one frame; returns it and the delay found.
double bestCorrelation(const std::vector<int16_t>& decoded, const std::vector<int16_t>& source, int* lagOut) {
    double best = -1;
    const size_t n = std::min(decoded.size(), source.size());
    for (int lag = 0; lag <= 960; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (size_t i = 1920; i + lag < n; ++i) {  // skip the codec's start-up
            const double x = source[i], y = decoded[i + lag];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        const double c = xy / std::sqrt(xx * yy + 1e-9);
        if (c > best) {
            best = c;
            *lagOut = lag;
        }
    }
    return best;
}

SimulatorConfig mediaConfig(uint64_t packets) {
    SimulatorConfig c;
    c.media.packetCount = packets;
    c.media.recordPcm = true;
    return c;
}

}  // namespace

class PhoneSimLayouts : public ::testing::TestWithParam<int> {};

TEST_P(PhoneSimLayouts, DatagramsCarryTheLayoutOfTheAnnouncedVersion) {
    const int version = GetParam();
    SimulatorConfig c = mediaConfig(12);
    c.control.serverVersion = static_cast<uint8_t>(version);
    c.media.firstSequence = 0x0001FFFA;  // the 16-bit field wraps during the run
    c.media.firstTimestampMs = 0xFFFFFFC0;
    c.media.gainCode = 7;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port(), static_cast<uint8_t>(version)));
    std::vector<Bytes> datagrams;
    Bytes d;
    while (datagrams.size() < 12 && udp.receive(d, 3000)) datagrams.push_back(d);
    ASSERT_EQ(datagrams.size(), 12u);
    ASSERT_TRUE(sim.waitForMediaFinished(5s));
    const SimulatorRecord r = sim.snapshot();
    const SessionRecord& s = r.sessions[0];
    EXPECT_EQ(s.mediaVersion, version == 5 ? 4 : version);
    EXPECT_EQ(s.mediaTarget, "127.0.0.1:" + std::to_string(udp.port()));
    ASSERT_EQ(s.packets.size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
        const SentPacket& p = s.packets[i];
        const uint32_t seq = 0x0001FFFAu + static_cast<uint32_t>(i);
        EXPECT_EQ(p.sequence, seq);
        ASSERT_EQ(p.sendTimesUs.size(), 1u);
        const Bytes& g = datagrams[i];
        if (version >= 4) {
            V4 v;
            ASSERT_TRUE(parseV4(g, v)) << i;
            EXPECT_EQ(v.sequence, seq & 0xFFFF);
            EXPECT_EQ(v.timestamp, static_cast<uint32_t>(0xFFFFFFC0u + 20u * i));
            EXPECT_EQ(v.gain, 7);
            EXPECT_EQ(v.payload, p.payload);
        } else {
            ASSERT_GE(g.size(), 6u);
            EXPECT_EQ(g[0] << 8 | g[1], static_cast<int>(seq >> 16));
            EXPECT_EQ(g[2] << 8 | g[3], static_cast<int>(seq & 0xFFFF));
            EXPECT_EQ(static_cast<size_t>(g[4] << 8 | g[5]), g.size() - 6);
            EXPECT_EQ(Bytes(g.begin() + 6, g.end()), p.payload);
        }
        EXPECT_LE(g.size(), 1024u);
        EXPECT_GT(p.payload.size(), 10u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, PhoneSimLayouts, ::testing::Values(2, 3, 4, 5));

TEST(PhoneSimMedia, PayloadsDecodeToTheRecordedSignal) {
    for (int which = 0; which < 2; ++which) {
        SimulatorConfig c = mediaConfig(40);
        if (which == 0) c.media.signal = std::make_shared<ToneSignal>(440.0, 0.4);
        else c.media.signal = std::make_shared<ChirpSignal>(300.0, 3000.0, 800, 0.4);
        c.media.application = which == 0 ? OpusApplication::Voip : OpusApplication::Audio;
        c.media.bitrate = 48000;
        PhoneSimulator sim(c);
        ASSERT_TRUE(sim.start());
        RawClient client;
        UdpReceiver udp;
        ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
        ASSERT_TRUE(handshake(client, udp.port()));
        std::vector<Bytes> payloads;
        Bytes d;
        V4 v;
        while (payloads.size() < 40 && udp.receive(d, 3000)) {
            ASSERT_TRUE(parseV4(d, v));
            payloads.push_back(v.payload);
        }
        ASSERT_EQ(payloads.size(), 40u);
        const SimulatorRecord r = sim.snapshot();
        std::vector<int16_t> source;
        for (const auto& p : r.sessions[0].packets) source.insert(source.end(), p.pcm.begin(), p.pcm.end());
        // The recorded PCM is the signal itself.
        int16_t frame[960];
        c.media.signal->render(17, frame);
        EXPECT_TRUE(std::equal(frame, frame + 960, source.begin() + 17 * 960));
        int lag = 0;
        const double corr = bestCorrelation(decodeAll(payloads), source, &lag);
        EXPECT_GT(corr, 0.9) << "signal " << which;
        EXPECT_LT(lag, 480) << "signal " << which;
    }
}

TEST(PhoneSimMedia, PacketsFollowTheTwentyMillisecondScheduleAfterTheStartDelay) {
    SimulatorConfig c = mediaConfig(25);
    c.media.startDelayMs = 150;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    const SimulatorRecord r = sim.snapshot();
    const SessionRecord& s = r.sessions[0];
    const int64_t startReply = s.replies[2].timeUs;
    EXPECT_GE(s.mediaStartUs, startReply + 150000);
    ASSERT_EQ(s.packets.size(), 25u);
    for (size_t i = 0; i < s.packets.size(); ++i) {
        ASSERT_EQ(s.packets[i].sendTimesUs.size(), 1u);
        // Never early; lateness does not pile up from packet to packet.
        EXPECT_GE(s.packets[i].sendTimesUs[0], s.mediaStartUs + static_cast<int64_t>(i) * 20000) << i;
    }
    const int64_t span = s.packets.back().sendTimesUs[0] - s.packets.front().sendTimesUs[0];
    // The first packet may leave late and the rest catch up, so only an
    // upper bound on the span.
    EXPECT_LT(span, 24 * 20000 + 400000);  // generous for a loaded machine
    EXPECT_EQ(s.counters.generated, 25u);
    EXPECT_EQ(s.counters.sent, 25u);
    EXPECT_EQ(udp.drain(300).size(), 25u);
}

TEST(PhoneSimMedia, NoVoiceAfterAStartReplyThatRefuses) {
    SimulatorConfig c = mediaConfig(5);
    c.control.start.status = 2;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(client.send(concat({helloRequest(), setupRequest(udp.port()), startRequest()})));
    EXPECT_EQ(client.read(19).size(), 19u);
    Bytes d;
    EXPECT_FALSE(udp.receive(d, 300));
    EXPECT_FALSE(sim.snapshot().sessions[0].mediaStarted);
}

TEST(PhoneSimMedia, NoVoiceWithoutAUsableMediaPort) {
    SimulatorConfig c = mediaConfig(5);
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(client.send(concat({helloRequest(), setupRequest(70000), startRequest()})));
    EXPECT_EQ(client.read(19).size(), 19u);
    ASSERT_TRUE(sim.waitUntil([](const SimulatorRecord& r) { return !r.sessions[0].mediaError.empty(); }, 5s));
    EXPECT_NE(sim.snapshot().sessions[0].mediaError.find("70000"), std::string::npos);
}

TEST(PhoneSimMedia, VoiceGoesToTheIpv6PeerToo) {
    SimulatorConfig c = mediaConfig(3);
    c.control.listenAddress = "::1";
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp(true);
    ASSERT_TRUE(client.connect("::1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    EXPECT_EQ(udp.drain(1000).size(), 3u);
    EXPECT_EQ(sim.snapshot().sessions[0].mediaTarget, "[::1]:" + std::to_string(udp.port()));
}

TEST(PhoneSimMedia, LossDuplicatesAndGarbageMatchTheModelAndTheRecord) {
    SimulatorConfig c = mediaConfig(60);
    c.media.recordPcm = false;
    c.media.impairments.seed = 2024;
    c.media.impairments.loss = 0.25;
    c.media.impairments.duplicate = 0.3;
    c.media.impairments.garbageRate = 0.5;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    const auto datagrams = udp.drain(400);
    const SimulatorRecord r = sim.snapshot();
    const SessionRecord& s = r.sessions[0];

    // The same seed in the pure model gives the same decisions.
    ImpairmentModel model(c.media.impairments);
    std::map<uint16_t, int> expectedCopies;
    size_t expectedGarbage = 0;
    for (const auto& p : s.packets) {
        const PacketPlan plan = model.next();
        EXPECT_EQ(p.dropped, plan.dropped) << p.index;
        EXPECT_EQ(p.sendTimesUs.size(), plan.dropped ? 0u : (plan.duplicated ? 2u : 1u)) << p.index;
        if (!plan.dropped) expectedCopies[static_cast<uint16_t>(p.sequence)] = plan.duplicated ? 2 : 1;
        expectedGarbage += plan.garbageCount;
    }
    std::map<uint16_t, int> copies;
    size_t garbage = 0, empty = 0, oversized = 0;
    for (const auto& d : datagrams) {
        V4 v;
        // Junk may by chance look like a header; a real packet matches its record exactly.
        if (parseV4(d, v) && v.sequence < s.packets.size() && s.packets[v.sequence].payload == v.payload) {
            ++copies[v.sequence];
        } else {
            ++garbage;
            empty += d.empty() ? 1 : 0;
            oversized += d.size() > 1024 ? 1 : 0;
        }
    }
    EXPECT_EQ(copies, expectedCopies);
    EXPECT_EQ(garbage, expectedGarbage);
    EXPECT_EQ(s.counters.garbage, expectedGarbage);
    EXPECT_EQ(s.garbage.size(), expectedGarbage);
    EXPECT_EQ(s.counters.lost + s.counters.sent, 60u);
    EXPECT_GT(s.counters.lost, 5u);
    EXPECT_GT(s.counters.duplicates, 5u);
    EXPECT_GT(empty, 0u);
    EXPECT_GT(oversized, 0u);
}

TEST(PhoneSimMedia, ReorderingShowsInTheArrivalOrder) {
    SimulatorConfig c = mediaConfig(40);
    c.media.recordPcm = false;
    c.media.impairments.seed = 3;
    c.media.impairments.reorder = 0.2;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    std::vector<uint16_t> order;
    for (const auto& d : udp.drain(400)) {
        V4 v;
        ASSERT_TRUE(parseV4(d, v));
        order.push_back(v.sequence);
    }
    ASSERT_EQ(order.size(), 40u);
    size_t late = 0;
    uint16_t highest = 0;
    for (uint16_t q : order) {
        if (q < highest) ++late;
        highest = std::max(highest, q);
    }
    const SimulatorRecord r = sim.snapshot();
    EXPECT_EQ(late, r.sessions[0].counters.reordered);
    size_t planned = 0;
    for (const auto& p : r.sessions[0].packets) planned += p.reordered ? 1 : 0;
    EXPECT_GT(planned, 2u);
    EXPECT_GT(late, 0u);
}

TEST(PhoneSimMedia, FloodSendsSeveralPacketsPerFrameInterval) {
    SimulatorConfig c = mediaConfig(0);
    c.media.durationMs = 200;
    c.media.impairments.flood = 4;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    const SimulatorRecord r = sim.snapshot();
    const SessionRecord& s = r.sessions[0];
    ASSERT_EQ(s.packets.size(), 40u);
    for (size_t i = 0; i < s.packets.size(); ++i) {
        EXPECT_GE(s.packets[i].sendTimesUs[0], s.mediaStartUs + static_cast<int64_t>(i) * 5000);
        EXPECT_EQ(s.packets[i].timestampMs, i * 5u);
    }
    EXPECT_EQ(udp.drain(300).size(), 40u);
}

TEST(PhoneSimMedia, EndsTheSessionWhenTheVoiceIsDoneIfAsked) {
    SimulatorConfig c = mediaConfig(3);
    c.media.endSessionWhenDone = true;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    EXPECT_EQ(client.waitClosed(), 0);
    ASSERT_TRUE(sim.waitFinished(5s));
    EXPECT_EQ(sim.snapshot().sessions[0].end, SessionEnd::MediaDone);
    EXPECT_EQ(udp.drain(300).size(), 3u);
}

TEST(PhoneSimMedia, ClientLeavingStopsTheVoice) {
    SimulatorConfig c = mediaConfig(0);  // endless
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    RawClient client;
    UdpReceiver udp;
    ASSERT_TRUE(client.connect("127.0.0.1", sim.port()));
    ASSERT_TRUE(handshake(client, udp.port()));
    ASSERT_TRUE(sim.waitForPacketsSent(3, 5s));
    client.close();
    ASSERT_TRUE(sim.waitFinished(5s));
    const SimulatorRecord r = sim.snapshot();
    EXPECT_TRUE(r.sessions[0].mediaFinished);
    EXPECT_EQ(r.sessions[0].end, SessionEnd::ClientClosed);
}

TEST(PhoneSimMedia, StreamLinkCarriesTheHandshakeThenThePackets) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    SimulatorConfig c = mediaConfig(8);
    c.streamFd = pair[0];
    c.media.gainCode = 3;
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    EXPECT_EQ(sim.endpoint(), "stream");
    const int mine = pair[1];
    struct Holder {
        int fd;
        ~Holder() { ::close(fd); }
    } holder{mine};
    auto readExact = [&](size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{mine, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            uint8_t buf[2048];
            const ssize_t r = ::recv(mine, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) break;
            out.insert(out.end(), buf, buf + r);
        }
        return out;
    };
    auto sendAll = [&](const Bytes& b) { return ::send(mine, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size()); };
    ASSERT_TRUE(sendAll(helloRequest()));
    EXPECT_EQ(readExact(7), (Bytes{0x65, 0, 0, 0, 2, 0, 4}));
    ASSERT_TRUE(sendAll(setupRequest(0)));  // a link carries port 0
    EXPECT_EQ(readExact(6), (Bytes{0x66, 0, 0, 0, 1, 0}));
    ASSERT_TRUE(sendAll(startRequest()));
    EXPECT_EQ(readExact(6), (Bytes{0x67, 0, 0, 0, 1, 0}));
    ASSERT_TRUE(sim.waitForMediaFinished(10s));
    const SimulatorRecord r = sim.snapshot();
    const SessionRecord& s = r.sessions[0];
    EXPECT_EQ(s.mediaTarget, "stream");
    for (size_t i = 0; i < 8; ++i) {
        Bytes header = readExact(11);
        ASSERT_EQ(header.size(), 11u);
        const size_t payloadSize = static_cast<size_t>(header[2] << 8 | header[3]) - 7;
        Bytes packet = concat({header, readExact(payloadSize)});
        V4 v;
        ASSERT_TRUE(parseV4(packet, v));
        EXPECT_EQ(v.sequence, i);
        EXPECT_EQ(v.gain, 3);
        EXPECT_EQ(v.payload, s.packets[i].payload);
    }
    // KeepAlives on the link are still read and recorded.
    ASSERT_TRUE(sendAll(keepAliveRequest()));
    ASSERT_TRUE(sim.waitForMessages(kSimKeepAlive, 1, 5s));
    ::shutdown(mine, SHUT_WR);
    ASSERT_TRUE(sim.waitFinished(5s));
    EXPECT_EQ(sim.snapshot().sessions[0].end, SessionEnd::ClientClosed);
}

TEST(PhoneSimMedia, StopInterruptsASenderBlockedOnAFullLink) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    SimulatorConfig c = mediaConfig(0);
    c.streamFd = pair[0];
    c.media.recordPcm = false;
    c.media.impairments.flood = 50;  // fills the link quickly
    // Small buffers: the link is full after a few packets.
    const int small = 4096;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    PhoneSimulator sim(c);
    ASSERT_TRUE(sim.start());
    const Bytes handshakeBytes = concat({helloRequest(), setupRequest(0), startRequest()});
    ASSERT_EQ(::send(pair[1], handshakeBytes.data(), handshakeBytes.size(), 0), static_cast<ssize_t>(handshakeBytes.size()));
    // Nobody reads the link: the sender ends up waiting for room.
    ASSERT_TRUE(sim.waitUntil([](const SimulatorRecord& r) { return r.lastSession() && r.lastSession()->counters.sent >= 5; }, 10s));
    sim.stop();
    sim.join();
    EXPECT_TRUE(sim.finished());
    ::close(pair[1]);
}
