#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"

namespace vexlink {
namespace {

// Feeds a packet whose transit time (arrival - timestamp, mod 2^32) is
// `transit`, with the arrival clock at `arrival`.
void feedTransit(ReceptionStats& stats, uint32_t transit, uint32_t arrival = 50000, uint16_t sequence = 1) {
    VoicePacket packet;
    packet.rawSequence = sequence;
    packet.timestamp = arrival - transit;
    stats.onPacket(packet, arrival);
}

uint32_t sequenceOf(ReceptionStats& stats, uint16_t raw) {
    VoicePacket packet;
    packet.rawSequence = raw;
    stats.onPacket(packet, 0);
    return packet.sequence;
}

std::string report(const ReceptionStats& stats) {
    FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    stats.printReport(f);
    std::string text(static_cast<size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), f), text.size());
    std::fclose(f);
    return text;
}

std::string clockText(uint32_t ms) {
    char out[32];
    return formatClockTime(ms, out, sizeof out);
}

// ---- Jitter -------------------------------------------------------------------

TEST(ReceptionJitter, SmoothsTransitDifferences) {
    ReceptionStats stats;
    feedTransit(stats, 100);
    EXPECT_DOUBLE_EQ(stats.jitter, 10.0);
    EXPECT_FALSE(stats.isFirstPacket);
    feedTransit(stats, 104);
    EXPECT_DOUBLE_EQ(stats.jitter, 9.625);
    feedTransit(stats, 100);
    EXPECT_DOUBLE_EQ(stats.jitter, 9.2734375);
    EXPECT_DOUBLE_EQ(stats.maxJitter, 10.0);
    EXPECT_EQ(stats.lastTransit, 100u);
}

TEST(ReceptionJitter, LargeStepRaisesMaximumAndReportTruncates) {
    ReceptionStats stats;
    feedTransit(stats, 100);
    feedTransit(stats, 300);
    EXPECT_DOUBLE_EQ(stats.jitter, 21.875);
    EXPECT_DOUBLE_EQ(stats.maxJitter, 21.875);
    EXPECT_NE(report(stats).find("max jitter : 21\r\n"), std::string::npos);
}

TEST(ReceptionJitter, TransitWrappingPast32BitsGivesTheTrueDifference) {
    ReceptionStats stats;
    // Arrival clock 2 ms below the sender's timestamp, then 3 ms above it.
    VoicePacket packet;
    packet.timestamp = 1002;
    stats.onPacket(packet, 1000);
    EXPECT_EQ(stats.lastTransit, 0xFFFFFFFEu);
    packet.timestamp = 1017;
    stats.onPacket(packet, 1020);
    EXPECT_EQ(stats.lastTransit, 3u);
    EXPECT_DOUBLE_EQ(stats.jitter, 10.0 + (5.0 - 10.0) / 16);

    // The local clock wrapping between two packets.
    ReceptionStats wrapped;
    packet.timestamp = 5000;
    wrapped.onPacket(packet, 0xFFFFFFF0u);
    packet.timestamp = 5020;
    wrapped.onPacket(packet, 0x00000008u);  // 24 ms later; sent 20 ms later
    EXPECT_DOUBLE_EQ(wrapped.jitter, 10.0 + (4.0 - 10.0) / 16);
}

// A sender alternating its clock by half the 32-bit range drives the
// difference to its most negative value; the estimate and the report stay
// defined (UBSan) and the report saturates.
TEST(ReceptionJitter, ExtremeDifferencesStayDefined) {
    ReceptionStats stats;
    for (int i = 0; i < 2000; ++i) {
        feedTransit(stats, (i % 2) ? 0x80000000u : 0u);
    }
    EXPECT_GT(stats.maxJitter, 2.0e9);
    EXPECT_LE(stats.maxJitter, 2147483648.0);
    stats.maxJitter = 5.0e9;
    EXPECT_NE(report(stats).find("max jitter : 2147483647\r\n"), std::string::npos);

    stats.lateRun = 1;
    feedTransit(stats, 0);
    EXPECT_EQ(stats.targetDelay, INT32_MAX);
}

TEST(ReceptionJitter, TargetDelayFollowsJitterOnlyWhileLate) {
    ReceptionStats stats;
    feedTransit(stats, 100);
    feedTransit(stats, 300);
    EXPECT_EQ(stats.targetDelay, 0);
    stats.lateRun = 2;
    feedTransit(stats, 300);  // jitter 21.875 + (0 - 21.875) / 16 = 20.5078125
    EXPECT_EQ(stats.targetDelay, 102);
    stats.lateRun = 0;
    feedTransit(stats, 900);
    EXPECT_EQ(stats.targetDelay, 102);
}

// ---- Reset and the process-wide record -----------------------------------------

TEST(ReceptionRecord, ResetStartsANewConnection) {
    ReceptionStats stats;
    feedTransit(stats, 100);
    feedTransit(stats, 300);
    stats.received = 5;
    stats.dropped = 2;
    stats.missed = 1;
    stats.endTime = 77;
    stats.lateRun = 3;
    stats.targetDelay = 40;

    const uint32_t before = static_cast<uint32_t>(monotonicMs());
    stats.reset();
    const uint32_t after = static_cast<uint32_t>(monotonicMs());

    EXPECT_TRUE(stats.isFirstPacket);
    EXPECT_GE(stats.startTime - before, 0u);
    EXPECT_LE(stats.startTime - before, after - before);
    EXPECT_EQ(stats.endTime, 0u);
    EXPECT_EQ(stats.received, 0u);
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_EQ(stats.missed, 0u);
    EXPECT_EQ(stats.lastTransit, 0u);
    EXPECT_EQ(stats.jitter, 0.0);
    EXPECT_EQ(stats.maxJitter, 0.0);
    EXPECT_EQ(stats.minTransit, 0u);
    EXPECT_EQ(stats.targetDelay, 0);
    EXPECT_EQ(stats.lateRun, 0u);
    EXPECT_EQ(stats.transitWindowCount(), 0);

    // The previous connection's transit of 100 does not come back.
    feedTransit(stats, 500);
    EXPECT_EQ(stats.minTransit, 500u);
    EXPECT_DOUBLE_EQ(stats.jitter, 10.0);
    EXPECT_EQ(sequenceOf(stats, 5), 5u);
}

TEST(ReceptionRecord, InstanceIsOneResetRecord) {
    ReceptionStats* stats = ReceptionStats::instance();
    ASSERT_NE(stats, nullptr);
    EXPECT_EQ(stats, ReceptionStats::instance());
    EXPECT_TRUE(stats->isFirstPacket);
    EXPECT_EQ(stats->received, 0u);
    EXPECT_EQ(stats->maxJitter, 0.0);
}

// ---- Report -------------------------------------------------------------------

TEST(ReceptionReport, ClockTime) {
    EXPECT_EQ(clockText(3723004), "01:02:03 004");
    EXPECT_EQ(clockText(90000000), "01:00:00 000");
    EXPECT_EQ(clockText(0), "00:00:00 000");
    EXPECT_EQ(clockText(0xFFFFFFFFu), "17:02:47 295");
}

TEST(ReceptionReport, ExactText) {
    ReceptionStats stats;
    stats.startTime = 3723004;
    stats.endTime = 90000000;
    feedTransit(stats, 100);
    feedTransit(stats, 300);
    stats.received = 1234;
    stats.dropped = 7;
    EXPECT_EQ(report(stats),
              "Start:\t01:02:03 004\r\n"
              "End:\t01:00:00 000\r\n"
              "received: 1234\r\n"
              "max jitter : 21\r\n"
              "dropped: 7\r\n"
              "missed: 0\r\n"
              "Period min: 1, max: 1\r\n"
              "OS version: 0.0, \r\n");
}

// Without version-4 packets the maximum stays 0; with perfectly regular
// ones it stays at the starting value while the estimate decays.
TEST(ReceptionReport, MaxJitterOfQuietConnections) {
    ReceptionStats stats;
    stats.received = 3;
    EXPECT_NE(report(stats).find("received: 3\r\nmax jitter : 0\r\n"), std::string::npos);

    for (uint32_t i = 0; i < 100; ++i) {
        feedTransit(stats, 40, 1000 + 20 * i);
    }
    EXPECT_DOUBLE_EQ(stats.maxJitter, 10.0);
    EXPECT_LT(stats.jitter, 0.1);
    EXPECT_NE(report(stats).find("max jitter : 10\r\n"), std::string::npos);
}

// ---- Sequence extension ----------------------------------------------------------

TEST(ReceptionSequence, CountsWrapsOfTheRawNumber) {
    ReceptionStats stats;
    for (uint32_t raw = 1; raw <= 65535; raw += 1000) {
        EXPECT_EQ(sequenceOf(stats, static_cast<uint16_t>(raw)), raw);
    }
    EXPECT_EQ(sequenceOf(stats, 65535), 65535u);
    // The packet that wraps is numbered before the wrap is counted.
    EXPECT_EQ(sequenceOf(stats, 0), 0u);
    EXPECT_EQ(sequenceOf(stats, 1), 65537u);
    for (uint32_t raw = 1001; raw <= 65535; raw += 1000) {
        EXPECT_EQ(sequenceOf(stats, static_cast<uint16_t>(raw)), 65536u + raw);
    }
    EXPECT_EQ(sequenceOf(stats, 3), 65539u);
    EXPECT_EQ(sequenceOf(stats, 4), 2 * 65536u + 4);
}

TEST(ReceptionSequence, JumpsOf3000OrMoreDoNotMoveTheReference) {
    ReceptionStats stats;
    EXPECT_EQ(sequenceOf(stats, 100), 100u);
    // 3000 above the last accepted number: numbered, but ignored.
    EXPECT_EQ(sequenceOf(stats, 3100), 3100u);
    // So 200 is still above the reference: no wrap.
    EXPECT_EQ(sequenceOf(stats, 200), 200u);
    // 2999 above is accepted...
    EXPECT_EQ(sequenceOf(stats, 3199), 3199u);
    // ...so 3150 now lies below the reference and counts as a wrap.
    EXPECT_EQ(sequenceOf(stats, 3150), 3150u);
    EXPECT_EQ(sequenceOf(stats, 3151), 65536u + 3151);
    // A repeated number changes nothing.
    EXPECT_EQ(sequenceOf(stats, 3151), 65536u + 3151);
    EXPECT_EQ(sequenceOf(stats, 3152), 65536u + 3152);
}

// ---- Minimum transit window ------------------------------------------------------

TEST(ReceptionTransitWindow, MinimumOverTheLast16) {
    ReceptionStats stats;
    feedTransit(stats, 50);
    EXPECT_EQ(stats.minTransit, 50u);
    for (uint32_t t = 60; t < 60 + 15; ++t) {
        feedTransit(stats, t);
        EXPECT_EQ(stats.minTransit, 50u);
    }
    EXPECT_EQ(stats.transitWindowCount(), 16);
    // The 17th transit pushes 50 out; the minimum is found again among the
    // 16 that remain (60..74 and 80).
    feedTransit(stats, 80);
    EXPECT_EQ(stats.transitWindowCount(), 16);
    EXPECT_EQ(stats.minTransit, 60u);
    feedTransit(stats, 90);
    EXPECT_EQ(stats.minTransit, 61u);
    // A smaller transit takes over at once and holds for 16 packets.
    feedTransit(stats, 30);
    EXPECT_EQ(stats.minTransit, 30u);
    for (int i = 0; i < 15; ++i) {
        feedTransit(stats, 200);
        EXPECT_EQ(stats.minTransit, 30u);
    }
    feedTransit(stats, 200);
    EXPECT_EQ(stats.minTransit, 200u);
    // Unsigned comparison: a transit "below zero" is a huge one.
    feedTransit(stats, 0xFFFFFFF0u);
    EXPECT_EQ(stats.minTransit, 200u);
}

TEST(ReceptionTransitWindow, DuplicateMinimumSurvivesOneRemoval) {
    ReceptionStats stats;
    feedTransit(stats, 40);
    feedTransit(stats, 40);
    for (int i = 0; i < 14; ++i) {
        feedTransit(stats, 100);
    }
    feedTransit(stats, 100);  // removes the first 40; the second remains
    EXPECT_EQ(stats.minTransit, 40u);
    feedTransit(stats, 100);  // removes the second 40
    EXPECT_EQ(stats.minTransit, 100u);
}

}  // namespace
}  // namespace vexlink
