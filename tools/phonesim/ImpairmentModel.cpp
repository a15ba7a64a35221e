#include "tools/phonesim/ImpairmentModel.h"

#include <algorithm>
#include <cmath>

namespace vexlink::phonesim {

namespace {

uint64_t splitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// One generator per packet, keyed by (seed, index): a packet's random draws
// do not depend on how many draws earlier packets made.
class PacketRandom {
public:
    PacketRandom(uint64_t seed, uint64_t index) {
        uint64_t mix = seed;
        state_ = splitMix(mix) ^ (index * 0xD1B54A32D192ED03ull);
        splitMix(state_);
    }
    uint64_t bits() { return splitMix(state_); }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(bits() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return p > 0.0 && unit() < p; }
    // Uniform in [0, bound] (bound inclusive).
    uint64_t upTo(uint64_t bound) { return bound == UINT64_MAX ? bits() : bits() % (bound + 1); }

private:
    uint64_t state_;
};

double clampProbability(double p) {
    if (!(p > 0.0)) return 0.0;  // also catches NaN
    return p > 1.0 ? 1.0 : p;
}

}  // namespace

ImpairmentModel::ImpairmentModel(const ImpairmentConfig& config) : config_(config) {
    config_.loss = clampProbability(config_.loss);
    config_.burstGoodToBad = clampProbability(config_.burstGoodToBad);
    config_.burstBadToGood = clampProbability(config_.burstBadToGood);
    config_.burstLossInGood = clampProbability(config_.burstLossInGood);
    config_.burstLossInBad = clampProbability(config_.burstLossInBad);
    config_.reorder = clampProbability(config_.reorder);
    config_.duplicate = clampProbability(config_.duplicate);
    if (!(config_.garbageRate > 0.0)) config_.garbageRate = 0.0;
    config_.garbageRate = std::min<double>(config_.garbageRate, PacketPlan::kMaxGarbage);
    if ((config_.garbageKinds & 7u) == 0) config_.garbageKinds = 0;
    if (config_.flood == 0) config_.flood = 1;
    if (config_.frameMs == 0) config_.frameMs = 20;
    if (config_.reorderDepth == 0) config_.reorderDepth = 1;
    config_.jitterSpanCount = std::min(config_.jitterSpanCount, ImpairmentConfig::kMaxJitterSpans);
    // A clock rate at or below zero is meaningless; keep the pacing finite.
    if (!(config_.clockPpm > -900000.0)) config_.clockPpm = -900000.0;
}

int64_t ImpairmentModel::nominalUs(uint64_t index) const {
    const double intervalUs = config_.frameMs * 1000.0 / config_.flood;
    const double rate = 1.0 + config_.clockPpm * 1e-6;
    return static_cast<int64_t>(std::llround(static_cast<double>(index) * intervalUs / rate));
}

uint32_t ImpairmentModel::jitterMsAt(int64_t nominalUs) const {
    for (uint32_t i = 0; i < config_.jitterSpanCount; ++i) {
        const ImpairmentConfig::JitterSpan& span = config_.jitterSpans[i];
        if (nominalUs >= span.fromMs * 1000 && nominalUs < span.toMs * 1000) return span.jitterMs;
    }
    return config_.jitterMs;
}

uint32_t ImpairmentModel::timestampMs(uint64_t index) const {
    // The sender's own clock: exact multiples of its frame interval.
    const uint64_t us = index * config_.frameMs * 1000u / config_.flood;
    return static_cast<uint32_t>(us / 1000u);
}

PacketPlan ImpairmentModel::next() {
    PacketPlan plan;
    plan.index = nextIndex_++;
    plan.nominalUs = nominalUs(plan.index);
    plan.timestampMs = timestampMs(plan.index);
    plan.sendUs = plan.nominalUs;
    const int64_t intervalUs = static_cast<int64_t>(config_.frameMs) * 1000 / config_.flood;

    // Fixed order of draws, each made whether or not it is needed, so that
    // turning one impairment on leaves the decisions of the others unchanged.
    PacketRandom rnd(config_.seed, plan.index);
    const double lossDraw = rnd.unit();
    const double burstStep = rnd.unit();
    const double burstDraw = rnd.unit();
    const uint64_t jitterDraw = rnd.bits();
    const double reorderDraw = rnd.unit();
    const double duplicateDraw = rnd.unit();
    const uint64_t duplicateDelayDraw = rnd.bits();
    const double garbageDraw = rnd.unit();

    if (config_.loss > 0.0 && lossDraw < config_.loss) {
        plan.dropped = true;
        plan.dropCause = DropCause::Loss;
    }
    if (config_.burstGoodToBad > 0.0) {
        burstBad_ = burstBad_ ? !(burstStep < config_.burstBadToGood) : (burstStep < config_.burstGoodToBad);
        const double p = burstBad_ ? config_.burstLossInBad : config_.burstLossInGood;
        if (!plan.dropped && p > 0.0 && burstDraw < p) {
            plan.dropped = true;
            plan.dropCause = DropCause::BurstLoss;
        }
    }
    if (const uint32_t jitterMs = jitterMsAt(plan.nominalUs); jitterMs > 0) {
        plan.sendUs += static_cast<int64_t>(jitterDraw % (static_cast<uint64_t>(jitterMs) * 1000u + 1u));
    }
    if (config_.reorder > 0.0 && reorderDraw < config_.reorder) {
        plan.reordered = true;
        plan.sendUs += intervalUs * config_.reorderDepth + intervalUs / 2;
    }
    if (config_.duplicate > 0.0 && duplicateDraw < config_.duplicate) {
        plan.duplicated = true;
        const uint64_t spread = static_cast<uint64_t>(config_.duplicateMaxDelayMs) * 1000u;
        plan.duplicateSendUs = plan.sendUs + static_cast<int64_t>(duplicateDelayDraw % (spread + 1u));
    }

    if (config_.garbageRate > 0.0 && config_.garbageKinds != 0) {
        uint32_t count = static_cast<uint32_t>(config_.garbageRate);
        if (garbageDraw < config_.garbageRate - count) ++count;
        count = std::min<uint32_t>(count, PacketPlan::kMaxGarbage);
        uint8_t kinds[3];
        uint32_t kindCount = 0;
        for (uint8_t k : {kGarbageRandom, kGarbageOversized, kGarbageEmpty}) {
            if (config_.garbageKinds & k) kinds[kindCount++] = k;
        }
        for (uint32_t g = 0; g < count; ++g) {
            GarbagePlan& junk = plan.garbage[g];
            junk.kind = static_cast<GarbageKind>(kinds[rnd.bits() % kindCount]);
            const uint64_t sizeDraw = rnd.bits();
            switch (junk.kind) {
                case kGarbageRandom: junk.size = 1 + static_cast<uint32_t>(sizeDraw % 200); break;
                case kGarbageOversized: junk.size = 1025 + static_cast<uint32_t>(sizeDraw % 1024); break;
                case kGarbageEmpty: junk.size = 0; break;
            }
            junk.contentSeed = rnd.bits();
            junk.sendUs = plan.nominalUs + static_cast<int64_t>(rnd.upTo(static_cast<uint64_t>(intervalUs - 1)));
        }
        plan.garbageCount = count;
    }

    if (config_.stallAtMs >= 0 && config_.stallForMs > 0) {
        const int64_t from = config_.stallAtMs * 1000;
        const int64_t to = from + static_cast<int64_t>(config_.stallForMs) * 1000;
        auto inStall = [&](int64_t t) { return t >= from && t < to; };
        if (inStall(plan.sendUs)) {
            plan.stalled = true;
            if (config_.stallDrops) {
                if (!plan.dropped) {
                    plan.dropped = true;
                    plan.dropCause = DropCause::Stall;
                }
            } else {
                plan.sendUs = to;
            }
        }
        if (plan.duplicated && inStall(plan.duplicateSendUs)) {
            if (config_.stallDrops) plan.duplicated = false;
            else plan.duplicateSendUs = to;
        }
        uint32_t kept = 0;
        for (uint32_t g = 0; g < plan.garbageCount; ++g) {
            GarbagePlan junk = plan.garbage[g];
            if (inStall(junk.sendUs)) {
                if (config_.stallDrops) continue;
                junk.sendUs = to;
            }
            plan.garbage[kept++] = junk;
        }
        plan.garbageCount = kept;
    }
    if (plan.dropped) plan.duplicated = false;
    return plan;
}

void ImpairmentModel::fillGarbage(uint64_t contentSeed, uint8_t* out, size_t size) {
    uint64_t state = contentSeed;
    size_t i = 0;
    while (i < size) {
        uint64_t word = splitMix(state);
        for (int b = 0; b < 8 && i < size; ++b, ++i) {
            out[i] = static_cast<uint8_t>(word);
            word >>= 8;
        }
    }
}

}  // namespace vexlink::phonesim
