// Reception figures: jitter, sequence extension, the transit window and the
// end-of-connection report.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"

namespace vexlink {
namespace {

// A packet whose transit (arrival - timestamp, mod 2^32) is `transit`;
// returns the sequence number the record gave it.
uint32_t feed(ReceptionStats& stats, uint32_t transit, uint32_t arrival = 50000, uint16_t rawSequence = 0) {
    VoicePacket packet;
    packet.rawSequence = rawSequence;
    packet.timestamp = arrival - transit;
    stats.onPacket(packet, arrival);
    return packet.sequence;
}
uint32_t sequenceOf(ReceptionStats& stats, uint16_t raw) { return feed(stats, 0, 0, raw); }

std::string report(const ReceptionStats& stats) {
    char text[512] = {};
    FILE* f = fmemopen(text, sizeof text - 1, "w");
    stats.printReport(f);
    std::fclose(f);
    return text;
}

// The estimate starts at 10 and smooths transit differences by 1/16, also
// where the transit or the local clock wraps past 32 bits. While a late run
// is open each packet sets the target delay to 5 x jitter; otherwise it
// stays 0.
TEST(ReceptionJitter, SmoothedDifferencesAndTheLateDelay) {
    const struct Run { bool late; std::vector<std::tuple<uint32_t, uint32_t, double>> steps; } runs[] = {
        {false, {{100, 50000, 10.0}, {104, 50000, 9.625}, {100, 50000, 9.2734375}}},
        {true, {{100, 50000, 10.0}, {300, 50000, 21.875}}},
        // Arrival clock 2 ms below the sender's timestamp, then 3 ms above it.
        {false, {{0xFFFFFFFEu, 1000, 10.0}, {3, 1020, 10.0 + (5.0 - 10.0) / 16}}},
        // The local clock wrapping between two packets sent 20 ms apart.
        {true, {{0xFFFFFFF0u - 5000, 0xFFFFFFF0u, 10.0}, {8u - 5020u, 8, 10.0 + (4.0 - 10.0) / 16}}},
    };
    for (const Run& run : runs) {
        ReceptionStats stats;
        stats.lateRun = run.late ? 1 : 0;
        double highest = 0;
        for (auto [transit, arrival, jitter] : run.steps) {
            feed(stats, transit, arrival);
            EXPECT_DOUBLE_EQ(stats.jitter, jitter) << transit;
            EXPECT_EQ(stats.lastTransit, transit);
            highest = std::max(highest, jitter);
        }
        EXPECT_DOUBLE_EQ(stats.maxJitter, highest);
        EXPECT_EQ(stats.targetDelay, run.late ? int32_t(5 * stats.jitter) : 0);
    }
}

// A sender swinging its clock by half the 32-bit range: the estimate, the
// late-packet delay and the report stay defined and saturate.
TEST(ReceptionJitter, ExtremeDifferencesStayDefined) {
    ReceptionStats stats;
    for (int i = 0; i < 2000; ++i) feed(stats, (i % 2) ? 0x80000000u : 0u);
    EXPECT_GT(stats.maxJitter, 2.0e9);
    EXPECT_LE(stats.maxJitter, 2147483648.0);
    stats.lateRun = 1;
    feed(stats, 0);
    EXPECT_EQ(stats.targetDelay, INT32_MAX);
    stats.maxJitter = 5.0e9;
    EXPECT_NE(report(stats).find("max jitter : 2147483647\r\n"), std::string::npos);
}

TEST(ReceptionReport, ClockTimesAndExactText) {
    char out[32];
    EXPECT_STREQ(formatClockTime(3723004, out, sizeof out), "01:02:03 004");
    EXPECT_STREQ(formatClockTime(90000000, out, sizeof out), "01:00:00 000");
    EXPECT_STREQ(formatClockTime(0, out, sizeof out), "00:00:00 000");
    ReceptionStats stats;
    feed(stats, 100);
    feed(stats, 300);
    std::tie(stats.startTime, stats.endTime, stats.received, stats.dropped) = std::tuple(3723004, 90000000, 1234, 7);
    EXPECT_EQ(report(stats),
              "Start:\t01:02:03 004\r\nEnd:\t01:00:00 000\r\nreceived: 1234\r\nmax jitter : 21\r\n"
              "dropped: 7\r\nmissed: 0\r\nPeriod min: 1, max: 1\r\nOS version: 0.0, \r\n");
}

TEST(ReceptionSequence, WrapsAreCountedAndFarJumpsDoNotMoveTheReference) {
    ReceptionStats stats;
    for (uint32_t raw = 1; raw <= 65001; raw += 1000) EXPECT_EQ(sequenceOf(stats, uint16_t(raw)), raw);
    // The packet that wraps is numbered before the wrap is counted.
    for (auto [raw, sequence] : {std::pair<uint16_t, uint32_t>{65535, 65535}, {0, 0}, {1, 65537}, {2, 65538}}) {
        EXPECT_EQ(sequenceOf(stats, raw), sequence) << raw;
    }
    // 3000 or more above the last accepted number: numbered, but ignored.
    ReceptionStats jumps;
    for (auto [raw, sequence] : {std::pair<uint16_t, uint32_t>{100, 100}, {3100, 3100}, {200, 200}, {3199, 3199},
                                 {3150, 3150}, {3151, 65536 + 3151}, {3151, 65536 + 3151}, {3152, 65536 + 3152}}) {
        EXPECT_EQ(sequenceOf(jumps, raw), sequence) << raw;
    }
}

TEST(ReceptionTransitWindow, MinimumOverTheLast16) {
    ReceptionStats stats;
    feed(stats, 40);
    feed(stats, 40);
    for (uint32_t t = 60; t < 60 + 14; ++t) feed(stats, t);
    EXPECT_EQ(stats.minTransit, 40u);
    feed(stats, 80);  // pushes out the first 40; the second remains
    EXPECT_EQ(stats.minTransit, 40u);
    feed(stats, 90);  // and now it goes: the minimum is found among the 16 left
    EXPECT_EQ(stats.minTransit, 60u);
    EXPECT_EQ(stats.transitWindowCount(), 16);
    feed(stats, 30);  // a smaller one takes over at once and holds for 16 packets
    for (int i = 0; i < 15; ++i) feed(stats, 200);
    EXPECT_EQ(stats.minTransit, 30u);
    feed(stats, 200);
    EXPECT_EQ(stats.minTransit, 200u);
    feed(stats, 0xFFFFFFF0u);  // unsigned: a transit "below zero" is a huge one
    EXPECT_EQ(stats.minTransit, 200u);

    // A new connection starts an empty window.
    const uint32_t before = uint32_t(monotonicMs());
    stats.reset();
    EXPECT_LE(stats.startTime - before, uint32_t(monotonicMs()) - before);
    EXPECT_EQ(stats.transitWindowCount(), 0);
    feed(stats, 500);
    EXPECT_EQ(stats.minTransit, 500u);
    EXPECT_DOUBLE_EQ(stats.jitter, 10.0);
}

}  // namespace
}  // namespace vexlink
