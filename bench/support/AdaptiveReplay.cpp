#include "AdaptiveReplay.h"

#include <algorithm>
#include <cstring>

#include "playout/PacketRing.h"

namespace vexlink::bench {

PlayoutConfig AdaptiveReplay::configFor(Concealment concealment) {
    PlayoutConfig config;
    config.concealment = concealment;
    return config;
}

AdaptiveReplay::AdaptiveReplay(Concealment concealment) : feed_(configFor(concealment)) {
    feed_.beginConnection(4);
}

AdaptiveReplay::~AdaptiveReplay() { (void)feed_.endConnection(); }

void AdaptiveReplay::arrive(const TraceArrival& arrival, uint64_t nowUs) {
    packet_.sequence = static_cast<uint16_t>(arrival.index);
    packet_.timestamp = arrival.timestampMs;
    packet_.gainCode = 5;
    packet_.length = std::min<int32_t>(arrival.payloadSize, kMaxPacketPayload);
    std::memcpy(packet_.payload, arrival.payload, static_cast<size_t>(packet_.length));
    (void)feed_.ring().push(packet_, nowUs);
}

void AdaptiveReplay::play(uint64_t nowUs) { (void)feed_.pull(out_, kFrameSamples, nowUs); }

}  // namespace vexlink::bench
