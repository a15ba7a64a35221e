#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tools/phonesim/ImpairmentModel.h"

using namespace vexlink::phonesim;

namespace {

std::vector<PacketPlan> plan(const ImpairmentConfig& config, size_t count) {
    ImpairmentModel model(config);
    std::vector<PacketPlan> out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) out.push_back(model.next());
    return out;
}

bool samePlan(const PacketPlan& a, const PacketPlan& b) {
    if (a.index != b.index || a.nominalUs != b.nominalUs || a.timestampMs != b.timestampMs || a.dropped != b.dropped ||
        a.dropCause != b.dropCause || a.sendUs != b.sendUs || a.reordered != b.reordered || a.stalled != b.stalled ||
        a.duplicated != b.duplicated || a.duplicateSendUs != b.duplicateSendUs || a.garbageCount != b.garbageCount) {
        return false;
    }
    for (uint32_t g = 0; g < a.garbageCount; ++g) {
        const auto &x = a.garbage[g], &y = b.garbage[g];
        if (x.kind != y.kind || x.size != y.size || x.contentSeed != y.contentSeed || x.sendUs != y.sendUs) return false;
    }
    return true;
}

ImpairmentConfig everything(uint64_t seed) {
    ImpairmentConfig c;
    c.seed = seed;
    c.loss = 0.05;
    c.burstGoodToBad = 0.02;
    c.burstBadToGood = 0.3;
    c.jitterMs = 30;
    c.reorder = 0.05;
    c.duplicate = 0.05;
    c.duplicateMaxDelayMs = 15;
    c.clockPpm = 250;
    c.stallAtMs = 3000;
    c.stallForMs = 400;
    c.garbageRate = 0.3;
    return c;
}

double lossRate(const std::vector<PacketPlan>& plans) {
    size_t lost = 0;
    for (const auto& p : plans) lost += p.dropped ? 1 : 0;
    return static_cast<double>(lost) / static_cast<double>(plans.size());
}

double meanBurst(const std::vector<PacketPlan>& plans) {
    size_t bursts = 0, lost = 0;
    bool inBurst = false;
    for (const auto& p : plans) {
        if (p.dropped) {
            ++lost;
            if (!inBurst) ++bursts;
        }
        inBurst = p.dropped;
    }
    return bursts ? static_cast<double>(lost) / static_cast<double>(bursts) : 0.0;
}

}  // namespace

TEST(ImpairmentModel, SameSeedGivesTheSameDecisionsAndAnotherSeedDoesNot) {
    const auto a = plan(everything(42), 5000);
    const auto b = plan(everything(42), 5000);
    const auto c = plan(everything(43), 5000);
    size_t differences = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_TRUE(samePlan(a[i], b[i])) << "packet " << i;
        differences += samePlan(a[i], c[i]) ? 0 : 1;
    }
    EXPECT_GT(differences, 1000u);
}

TEST(ImpairmentModel, NoImpairmentSendsEveryPacketOnTheTwentyMillisecondGrid) {
    const auto plans = plan(ImpairmentConfig{}, 1000);
    for (size_t i = 0; i < plans.size(); ++i) {
        EXPECT_EQ(plans[i].index, i);
        EXPECT_EQ(plans[i].nominalUs, static_cast<int64_t>(i) * 20000);
        EXPECT_EQ(plans[i].sendUs, plans[i].nominalUs);
        EXPECT_EQ(plans[i].timestampMs, i * 20u);
        EXPECT_FALSE(plans[i].dropped || plans[i].duplicated || plans[i].reordered || plans[i].stalled);
        EXPECT_EQ(plans[i].garbageCount, 0u);
    }
}

TEST(ImpairmentModel, TurningOnOneImpairmentLeavesTheOthersDecisionsAlone) {
    ImpairmentConfig lossOnly;
    lossOnly.seed = 7;
    lossOnly.loss = 0.2;
    ImpairmentConfig lossAndMore = lossOnly;
    lossAndMore.jitterMs = 10;
    lossAndMore.duplicate = 0.3;
    lossAndMore.garbageRate = 1.5;
    const auto a = plan(lossOnly, 3000);
    const auto b = plan(lossAndMore, 3000);
    for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i].dropped, b[i].dropped) << i;
}

TEST(ImpairmentModel, UniformLossHasTheRequestedRateAndShortBursts) {
    ImpairmentConfig c;
    c.seed = 11;
    c.loss = 0.1;
    const auto plans = plan(c, 20000);
    EXPECT_NEAR(lossRate(plans), 0.1, 0.015);
    EXPECT_LT(meanBurst(plans), 1.3);
    for (const auto& p : plans) {
        if (p.dropped) {
            EXPECT_EQ(p.dropCause, DropCause::Loss);
        }
    }
}

TEST(ImpairmentModel, GilbertElliottLossComesInBursts) {
    ImpairmentConfig c;
    c.seed = 12;
    c.burstGoodToBad = 0.05;
    c.burstBadToGood = 0.25;  // mean burst 4 packets
    const auto plans = plan(c, 40000);
    // Stationary share of the bad state: 0.05 / (0.05 + 0.25).
    EXPECT_NEAR(lossRate(plans), 0.05 / 0.30, 0.03);
    EXPECT_NEAR(meanBurst(plans), 4.0, 0.6);
    for (const auto& p : plans) {
        if (p.dropped) {
            EXPECT_EQ(p.dropCause, DropCause::BurstLoss);
        }
    }
}

TEST(ImpairmentModel, JitterStaysWithinItsBoundAndCanReorder) {
    ImpairmentConfig c;
    c.seed = 13;
    c.jitterMs = 50;
    const auto plans = plan(c, 5000);
    double sum = 0;
    size_t inversions = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        const int64_t extra = plans[i].sendUs - plans[i].nominalUs;
        ASSERT_GE(extra, 0);
        ASSERT_LE(extra, 50000);
        sum += static_cast<double>(extra);
        if (i > 0 && plans[i].sendUs < plans[i - 1].sendUs) ++inversions;
    }
    EXPECT_NEAR(sum / plans.size(), 25000.0, 2000.0);
    EXPECT_GT(inversions, 100u);

    c.jitterMs = 10;  // below one interval: order kept
    for (const auto& p : plan(c, 2000)) ASSERT_LT(p.sendUs - p.nominalUs, 20000);
}

TEST(ImpairmentModel, ExplicitReorderHoldsAPacketBehindTheNextOne) {
    ImpairmentConfig c;
    c.seed = 14;
    c.reorder = 0.1;
    const auto plans = plan(c, 10000);
    size_t reordered = 0;
    for (size_t i = 0; i + 1 < plans.size(); ++i) {
        if (!plans[i].reordered) continue;
        ++reordered;
        EXPECT_EQ(plans[i].sendUs, plans[i].nominalUs + 30000);
        if (!plans[i + 1].reordered) {
            EXPECT_GT(plans[i].sendUs, plans[i + 1].sendUs);
        }
        if (i + 2 < plans.size() && !plans[i + 2].reordered) {
            EXPECT_LT(plans[i].sendUs, plans[i + 2].sendUs);
        }
    }
    EXPECT_NEAR(static_cast<double>(reordered) / plans.size(), 0.1, 0.015);
}

TEST(ImpairmentModel, DuplicatesHaveTheRequestedRateAndDelay) {
    ImpairmentConfig c;
    c.seed = 15;
    c.duplicate = 0.2;
    c.duplicateMaxDelayMs = 5;
    c.loss = 0.1;
    const auto plans = plan(c, 10000);
    size_t duplicated = 0;
    for (const auto& p : plans) {
        if (!p.duplicated) continue;
        ++duplicated;
        EXPECT_FALSE(p.dropped);  // a lost packet has no copy
        EXPECT_GE(p.duplicateSendUs, p.sendUs);
        EXPECT_LE(p.duplicateSendUs, p.sendUs + 5000);
    }
    EXPECT_NEAR(static_cast<double>(duplicated) / plans.size(), 0.2 * 0.9, 0.02);
}

TEST(ImpairmentModel, ClockOffsetScalesThePacingButNotTheTimestamps) {
    ImpairmentConfig fast;
    fast.clockPpm = 1000;  // 0.1 % fast: 1000 frames take 19.98 s
    ImpairmentModel model(fast);
    EXPECT_EQ(model.nominalUs(1000), 19980020);  // 20 s / 1.001, rounded
    EXPECT_EQ(model.timestampMs(1000), 20000u);
    ImpairmentConfig slow;
    slow.clockPpm = -500;
    EXPECT_EQ(ImpairmentModel(slow).nominalUs(50000), 1000500250);
    // No drift: the schedule is computed from the index, not accumulated.
    for (uint64_t i = 1; i < 100000; i += 997) {
        const int64_t step = model.nominalUs(i) - model.nominalUs(i - 1);
        EXPECT_NEAR(static_cast<double>(step), 19980.02, 1.0);
    }
}

TEST(ImpairmentModel, StallHoldsPacketsUntilItsEndOrDropsThem) {
    ImpairmentConfig c;
    c.stallAtMs = 1000;
    c.stallForMs = 200;
    const auto held = plan(c, 100);
    for (const auto& p : held) {
        const bool inside = p.nominalUs >= 1000000 && p.nominalUs < 1200000;
        EXPECT_EQ(p.stalled, inside) << p.index;
        EXPECT_FALSE(p.dropped);
        if (inside) {
            EXPECT_EQ(p.sendUs, 1200000);
        }
        EXPECT_FALSE(p.sendUs >= 1000000 && p.sendUs < 1200000);
    }
    c.stallDrops = true;
    size_t dropped = 0;
    for (const auto& p : plan(c, 100)) {
        if (p.dropped) {
            ++dropped;
            EXPECT_EQ(p.dropCause, DropCause::Stall);
        }
    }
    EXPECT_EQ(dropped, 10u);  // frames 50..59
}

TEST(ImpairmentModel, GarbageHasTheRequestedRateKindsAndSizes) {
    ImpairmentConfig c;
    c.seed = 16;
    c.garbageRate = 0.5;
    const auto plans = plan(c, 10000);
    size_t total = 0, kinds[3] = {0, 0, 0};
    for (const auto& p : plans) {
        total += p.garbageCount;
        for (uint32_t g = 0; g < p.garbageCount; ++g) {
            const auto& junk = p.garbage[g];
            EXPECT_GE(junk.sendUs, p.nominalUs);
            EXPECT_LT(junk.sendUs, p.nominalUs + 20000);
            switch (junk.kind) {
                case kGarbageRandom: ++kinds[0]; EXPECT_TRUE(junk.size >= 1 && junk.size <= 200); break;
                case kGarbageOversized: ++kinds[1]; EXPECT_TRUE(junk.size > 1024 && junk.size <= 2048); break;
                case kGarbageEmpty: ++kinds[2]; EXPECT_EQ(junk.size, 0u); break;
            }
        }
    }
    EXPECT_NEAR(static_cast<double>(total) / plans.size(), 0.5, 0.03);
    for (size_t k : kinds) EXPECT_NEAR(static_cast<double>(k) / total, 1.0 / 3, 0.05);

    c.garbageRate = 2.5;
    c.garbageKinds = kGarbageEmpty;
    size_t many = 0;
    for (const auto& p : plan(c, 2000)) {
        EXPECT_TRUE(p.garbageCount == 2 || p.garbageCount == 3);
        many += p.garbageCount;
        for (uint32_t g = 0; g < p.garbageCount; ++g) EXPECT_EQ(p.garbage[g].kind, kGarbageEmpty);
    }
    EXPECT_NEAR(static_cast<double>(many) / 2000, 2.5, 0.05);
}

TEST(ImpairmentModel, GarbageBytesAreReproducible) {
    uint8_t a[300], b[300], c[300];
    ImpairmentModel::fillGarbage(99, a, sizeof a);
    ImpairmentModel::fillGarbage(99, b, sizeof b);
    ImpairmentModel::fillGarbage(100, c, sizeof c);
    EXPECT_TRUE(std::equal(a, a + 300, b));
    EXPECT_FALSE(std::equal(a, a + 300, c));
}

TEST(ImpairmentModel, FloodMultipliesThePacketRate) {
    ImpairmentConfig c;
    c.flood = 4;
    ImpairmentModel model(c);
    EXPECT_EQ(model.nominalUs(4), 20000);
    EXPECT_EQ(model.nominalUs(1), 5000);
    EXPECT_EQ(model.timestampMs(4), 20u);
    EXPECT_EQ(model.timestampMs(3), 15u);
}

TEST(ImpairmentModel, OutOfRangeSettingsAreTamed) {
    ImpairmentConfig c;
    c.loss = 7.0;             // more than certain
    c.duplicate = -1.0;
    c.garbageRate = 1e9;
    c.flood = 0;
    c.clockPpm = -2e6;        // a clock that would run backwards
    ImpairmentModel model(c);
    const PacketPlan p = model.next();
    EXPECT_TRUE(p.dropped);
    EXPECT_FALSE(p.duplicated);
    EXPECT_EQ(p.garbageCount, PacketPlan::kMaxGarbage);
    EXPECT_GT(model.nominalUs(1), 0);
}
