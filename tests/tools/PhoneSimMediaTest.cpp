#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <opus.h>

#include "SimTestSockets.h"
#include "tools/phonesim/ImpairmentModel.h"
#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/ToneSignal.h"
#include "tools/phonesim/TremoloSignal.h"

using namespace vexlink::phonesim;
using namespace vexlink::test;

namespace {

uint32_t be(const Bytes& d, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v << 8 | d[at + i];
    return v;
}

// The v4 payload when `d` is a well-formed v4 datagram, else nothing.
bool v4Payload(const Bytes& d, Bytes& payload) {
    if (d.size() < 11 || d[0] != 4 || d[1] != 0 || be(d, 2, 2) != d.size() - 4) return false;
    payload.assign(d.begin() + 11, d.end());
    return true;
}

// A session of `packets` through the handshake to its last packet: the
// datagrams that came and what the simulator recorded.
struct MediaRun {
    std::vector<Bytes> datagrams;
    SessionRecord record;
    uint16_t port = 0;
};
MediaRun runMedia(SimulatorConfig c, uint64_t packets, uint8_t version = 4) {
    c.media.packetCount = packets;
    Started s(c);
    const Fd udp = boundSocket("127.0.0.1", SOCK_DGRAM);
    MediaRun run;
    run.port = localPort(udp.get());
    if (!s.ok || !s.handshake(run.port, version) || !s.sim.waitForMediaFinished(10s)) {
        ADD_FAILURE() << "the session did not reach its last packet";
        return run;
    }
    run.datagrams = datagrams(udp, SIZE_MAX, 400);  // all arrived: the loopback delivers at once
    run.record = s.sim.snapshot().sessions.at(0);
    return run;
}

}  // namespace

class PhoneSimLayouts : public ::testing::TestWithParam<int> {};

TEST_P(PhoneSimLayouts, DatagramsCarryTheLayoutOfTheAnnouncedVersion) {
    const int version = GetParam();
    SimulatorConfig c;
    c.control.serverVersion = static_cast<uint8_t>(version);
    c.media.firstSequence = 0x0001FFFC;  // the 16-bit field wraps during the run
    c.media.firstTimestampMs = 0xFFFFFFC0;
    c.media.gainCode = 7;
    const auto [datagrams, rec, port] = runMedia(c, 8, static_cast<uint8_t>(version));
    ASSERT_EQ(datagrams.size(), 8u);
    EXPECT_EQ(rec.mediaVersion, version);
    EXPECT_EQ(rec.mediaTarget, "127.0.0.1:" + std::to_string(port));
    ASSERT_EQ(rec.packets.size(), 8u);
    for (uint32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        const Bytes& g = datagrams[i];
        const uint32_t seq = 0x0001FFFCu + i;
        EXPECT_EQ(rec.packets[i].sequence, seq);
        Bytes payload;
        if (version == 4) {
            ASSERT_TRUE(v4Payload(g, payload));
            EXPECT_EQ(be(g, 4, 2), seq & 0xFFFF);
            EXPECT_EQ(be(g, 6, 4), 0xFFFFFFC0u + 20u * i);
            EXPECT_EQ(g[10], 7);
        } else {
            ASSERT_GE(g.size(), 6u);
            EXPECT_EQ(be(g, 0, 4), seq);
            EXPECT_EQ(be(g, 4, 2), g.size() - 6);
            payload.assign(g.begin() + 6, g.end());
        }
        EXPECT_EQ(payload, rec.packets[i].payload);
        EXPECT_GT(payload.size(), 10u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, PhoneSimLayouts, ::testing::Values(2, 3, 4));

TEST(PhoneSimMedia, PayloadsDecodeWithLibopusToTheRecordedSignal) {
    SimulatorConfig c;
    c.media.recordPcm = true;
    c.media.signal = std::make_shared<ToneSignal>(440.0, 0.4);
    const auto [datagrams, rec, port] = runMedia(c, 30);
    ASSERT_EQ(datagrams.size(), 30u);
    int16_t frame[960];
    for (const auto& p : rec.packets) {  // the recorded PCM is the signal itself
        c.media.signal->render(p.index, frame);
        EXPECT_TRUE(std::equal(frame, frame + 960, p.pcm.begin()) && p.pcm.size() == 960) << p.index;
    }
    int err = 0;
    std::unique_ptr<OpusDecoder, void (*)(OpusDecoder*)> dec(opus_decoder_create(48000, 1, &err), opus_decoder_destroy);
    for (size_t i = 0; i < datagrams.size(); ++i) {
        Bytes payload;
        ASSERT_TRUE(v4Payload(datagrams[i], payload));
        ASSERT_EQ(opus_decode(dec.get(), payload.data(), static_cast<opus_int32>(payload.size()), frame, 960, 0), 960);
        // Past the codec's start-up, 20 ms of 440 Hz cross zero 17 or 18 times.
        int crossings = 0;
        for (int k = 1; k < 960; ++k) crossings += (frame[k - 1] < 0) != (frame[k] < 0);
        EXPECT_TRUE(i < 2 || (crossings >= 17 && crossings <= 18)) << i << ": " << crossings;
    }
}

TEST(PhoneSimMedia, SentDatagramsFollowTheSeededModel) {
    SimulatorConfig c;
    c.media.impairments.seed = 2024;
    c.media.impairments.loss = 0.25;
    c.media.impairments.duplicate = 0.3;
    c.media.impairments.garbageRate = 0.5;
    const auto [datagrams, rec, port] = runMedia(c, 60);

    ImpairmentModel model(c.media.impairments);
    std::map<uint32_t, int> expectedCopies, copies;
    size_t expectedGarbage = 0, garbage = 0;
    for (const auto& p : rec.packets) {
        const PacketPlan plan = model.next();
        EXPECT_EQ(p.dropped, plan.dropped) << p.index;
        if (!plan.dropped) expectedCopies[static_cast<uint32_t>(p.sequence)] = plan.duplicated ? 2 : 1;
        expectedGarbage += plan.garbageCount;
    }
    for (const auto& d : datagrams) {
        Bytes payload;
        // Junk may look like a header by chance; a real packet matches its record.
        const uint32_t seq = d.size() >= 6 ? be(d, 4, 2) : 0;
        if (v4Payload(d, payload) && seq < rec.packets.size() && rec.packets[seq].payload == payload) ++copies[seq];
        else ++garbage;
    }
    EXPECT_EQ(copies, expectedCopies);
    EXPECT_EQ(garbage, expectedGarbage);
    EXPECT_GT(rec.counters.lost, 5u);
    EXPECT_GT(rec.counters.duplicates, 5u);
}

// The seed alone decides: the same one gives the same plans, another others.
TEST(ImpairmentModel, RatesAreAboutWhatWasAskedAndTheSeedDecides) {
    using Measure = double (*)(const PacketPlan&);
    struct Case {
        const char* name;
        void (*set)(ImpairmentConfig&);
        Measure measure;  // averaged over the plans
        double expected, tolerance;
    };
    const Measure dropped = [](const PacketPlan& p) { return p.dropped ? 1.0 : 0.0; };
    const Case cases[] = {
        {"uniform loss", [](ImpairmentConfig& c) { c.loss = 0.1; }, dropped, 0.1, 0.015},
        // Stationary share of the bad state: 0.05 / (0.05 + 0.25).
        {"burst loss", [](ImpairmentConfig& c) { c.burstGoodToBad = 0.05; c.burstBadToGood = 0.25; }, dropped, 0.05 / 0.3, 0.03},
        {"reorder", [](ImpairmentConfig& c) { c.reorder = 0.1; }, [](const PacketPlan& p) { return p.reordered ? 1.0 : 0.0; }, 0.1, 0.015},
        // A lost packet has no copy.
        {"duplicate", [](ImpairmentConfig& c) { c.duplicate = 0.2; c.loss = 0.1; }, [](const PacketPlan& p) { return p.duplicated ? 1.0 : 0.0; }, 0.18, 0.02},
        {"garbage", [](ImpairmentConfig& c) { c.garbageRate = 0.5; }, [](const PacketPlan& p) { return double(p.garbageCount); }, 0.5, 0.03},
        {"jitter, in ms", [](ImpairmentConfig& c) { c.jitterMs = 50; }, [](const PacketPlan& p) { return (p.sendUs - p.nominalUs) / 1000.0; }, 25, 2},
        // 50 ms for the first 100 of the 400 s, 10 ms elsewhere: (25 + 3 * 5) / 4.
        {"jitter span, in ms", [](ImpairmentConfig& c) { c.jitterMs = 10; c.jitterSpans[0] = {0, 100000, 50}; c.jitterSpanCount = 1; },
         [](const PacketPlan& p) { return (p.sendUs - p.nominalUs) / 1000.0; }, 10, 1},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        ImpairmentConfig config;
        config.seed = 11;
        tc.set(config);
        ImpairmentModel model(config), same(config);
        config.seed = 12;
        ImpairmentModel other(config);
        double sum = 0, sameSum = 0, otherSum = 0;
        const int n = 20000;
        for (int i = 0; i < n; ++i) {
            sum += tc.measure(model.next());
            sameSum += tc.measure(same.next());
            otherSum += tc.measure(other.next());
        }
        EXPECT_NEAR(sum / n, tc.expected, tc.tolerance);
        EXPECT_EQ(sameSum, sum);
        EXPECT_NE(otherSum, sum);
    }
}

// In-band FEC is there when the decoder, asked for the FEC copy of a frame
// from the packet after it, gives something other than its plain loss
// concealment; libopus adds it only to frames it deems active voice.
TEST(OpusFrameEncoder, InBandFecOnlyWhenAskedForAndThenForMostFrames) {
    const TremoloSignal signal;
    for (const int32_t lossPercent : {0, 10}) {
        SCOPED_TRACE(lossPercent);
        OpusFrameEncoder encoder(OpusApplication::Voip, 32000, 5, lossPercent);
        int err = 0;
        std::unique_ptr<OpusDecoder, void (*)(OpusDecoder*)> dec(opus_decoder_create(48000, 1, &err), opus_decoder_destroy);
        const size_t stateSize = static_cast<size_t>(opus_decoder_get_size(1));
        std::vector<uint8_t> before(stateSize);  // the state is position-independent: it may be copied
        int16_t frame[960], fromFec[960], concealed[960];
        uint8_t packet[1275], next[1275];
        signal.render(0, frame);
        int32_t size = encoder.encode(frame, packet, sizeof packet);
        int withFec = 0;
        const int frames = 100;
        for (int i = 1; i <= frames; ++i) {
            signal.render(uint64_t(i), frame);
            const int32_t nextSize = encoder.encode(frame, next, sizeof next);
            ASSERT_GT(nextSize, 0);
            std::memcpy(before.data(), dec.get(), stateSize);
            ASSERT_EQ(opus_decode(dec.get(), next, nextSize, fromFec, 960, 1), 960);
            std::memcpy(dec.get(), before.data(), stateSize);
            ASSERT_EQ(opus_decode(dec.get(), nullptr, 0, concealed, 960, 0), 960);
            // Past the first frame, where the decoder has nothing to conceal from.
            withFec += i > 1 && !std::equal(fromFec, fromFec + 960, concealed);
            std::memcpy(dec.get(), before.data(), stateSize);  // no loss after all: play the packet
            ASSERT_EQ(opus_decode(dec.get(), packet, size, frame, 960, 0), 960);
            std::memcpy(packet, next, size_t(nextSize));
            size = nextSize;
        }
        if (lossPercent == 0) EXPECT_EQ(withFec, 0);
        else EXPECT_GT(withFec, frames / 2);
    }
}
