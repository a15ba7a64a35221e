#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlink::phonesim {

// The network trouble the simulator can put between itself and the client.
// Every probability is per packet, 0.0 to 1.0.
struct ImpairmentConfig {
    uint64_t seed = 1;

    // Independent loss.
    double loss = 0.0;

    // Bursty loss: a two-state (good/bad) Markov chain stepped once per
    // packet, losing with lossInGood / lossInBad in the state it lands in.
    // Mean burst length is 1 / pBadToGood packets. Off while pGoodToBad is 0.
    double burstGoodToBad = 0.0;
    double burstBadToGood = 1.0;
    double burstLossInGood = 0.0;
    double burstLossInBad = 1.0;

    // Random extra delay, uniform in [0, jitterMs] ms; more than one frame
    // interval reorders packets.
    uint32_t jitterMs = 0;
    // Jitter by media time: a packet produced within [fromMs, toMs) of a span
    // takes that span's jitterMs instead (the first matching span wins), e.g.
    // 0 ms, then 30 ms from 20 s to 40 s, then 0 ms again.
    struct JitterSpan {
        int64_t fromMs = 0;
        int64_t toMs = 0;
        uint32_t jitterMs = 0;
    };
    static constexpr uint32_t kMaxJitterSpans = 4;
    JitterSpan jitterSpans[kMaxJitterSpans] = {};
    uint32_t jitterSpanCount = 0;

    // Explicit reordering: the packet is held back behind the next
    // `reorderDepth` packets (by reorderDepth intervals plus half an interval).
    double reorder = 0.0;
    uint32_t reorderDepth = 1;

    // A second copy of the packet, sent 0..duplicateMaxDelayMs after the first.
    double duplicate = 0.0;
    uint32_t duplicateMaxDelayMs = 0;

    // The sender's clock runs fast (positive) or slow (negative) by this many
    // parts per million: it paces its frames by its own clock.
    double clockPpm = 0.0;

    // Nothing leaves the sender in [stallAtMs, stallAtMs + stallForMs) of
    // media time. Held packets go out in a burst at the end of the stall, or
    // are lost when stallDrops is set. Off while stallAtMs is negative.
    int64_t stallAtMs = -1;
    uint32_t stallForMs = 0;
    bool stallDrops = false;

    // Junk datagrams per voice packet (0.25: one every four packets on
    // average; 2.0: two per packet, 8 at most). Each is one of the enabled
    // kinds. On a stream link the junk goes out as raw bytes between packets
    // (empty ones are skipped), which desynchronises a reader on purpose.
    double garbageRate = 0.0;
    uint8_t garbageKinds = 0x7;  // bit mask of GarbageKind values

    // Flood: this many packets per frame interval instead of one.
    uint32_t flood = 1;

    uint32_t frameMs = 20;
};

enum GarbageKind : uint8_t {
    kGarbageRandom = 1,     // 1..200 random bytes
    kGarbageOversized = 2,  // 1025..2048 random bytes, more than a reader's buffer
    kGarbageEmpty = 4,      // a zero-length datagram
};

enum class DropCause : uint8_t { None, Loss, BurstLoss, Stall };

struct GarbagePlan {
    GarbageKind kind = kGarbageRandom;
    uint32_t size = 0;
    uint64_t contentSeed = 0;  // fillGarbage(contentSeed, ...) gives its bytes
    int64_t sendUs = 0;        // media time
};

// What happens to one packet. Times are microseconds of media time: 0 is the
// moment the first packet is due.
struct PacketPlan {
    static constexpr size_t kMaxGarbage = 8;

    uint64_t index = 0;
    int64_t nominalUs = 0;       // when the sender produces it
    uint32_t timestampMs = 0;    // the sender's clock at that moment, from 0
    bool dropped = false;
    DropCause dropCause = DropCause::None;
    int64_t sendUs = 0;          // when it leaves (>= nominalUs); meaningless when dropped
    bool reordered = false;      // explicit reorder chosen
    bool stalled = false;        // held by the stall
    bool duplicated = false;
    int64_t duplicateSendUs = 0;
    uint32_t garbageCount = 0;
    GarbagePlan garbage[kMaxGarbage];
};

// Pure and deterministic: the same configuration (seed included) gives the
// same plans, packet for packet. Plans must be drawn in index order (the
// burst-loss chain carries state from one packet to the next). No I/O, no
// clock, no allocation; one object per media stream, used by one thread.
class ImpairmentModel {
public:
    explicit ImpairmentModel(const ImpairmentConfig& config);

    // Plans the next packet (index 0, 1, 2, ...).
    PacketPlan next();

    // Media time at which packet `index` is produced: index frame intervals,
    // divided by the flood factor and by the sender's clock rate.
    int64_t nominalUs(uint64_t index) const;
    // Sender's clock reading for packet `index`, in ms from 0.
    uint32_t timestampMs(uint64_t index) const;

    const ImpairmentConfig& config() const { return config_; }
    // The jitter bound of a packet produced at `nominalUs`, in ms.
    uint32_t jitterMsAt(int64_t nominalUs) const;

    // Deterministic junk bytes for a garbage datagram.
    static void fillGarbage(uint64_t contentSeed, uint8_t* out, size_t size);

private:
    ImpairmentConfig config_;
    uint64_t nextIndex_ = 0;
    bool burstBad_ = false;
};

}  // namespace vexlink::phonesim
