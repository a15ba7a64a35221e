#include "TickReplay.h"

#include <memory>

#include "audio/AudioFormat.h"
#include "control/VoiceReceiver.h"
#include "media/VoicePacket.h"

namespace vexlink::bench {

TickReplay::TickReplay() : decoder_(kSampleRate, kChannels), tick_(queue_, sink_, stats_) {
    decoder_.open();
    tick_.releaseLastFrame();
}

TickReplay::~TickReplay() {
    tick_.releaseLastFrame();
    decoder_.close();
}

void TickReplay::arrive(const TraceArrival& arrival, uint64_t) {
    auto packet = std::make_unique<VoicePacket>();
    packet->rawSequence = static_cast<uint16_t>(arrival.index);
    packet->sequence = arrival.index;
    packet->timestamp = arrival.timestampMs;
    int32_t count = kFrameSamples;
    decoder_.decode(arrival.payload, arrival.payloadSize, packet->samples, count);
    queue_.pushBackBounded(std::move(packet), VoiceReceiver::kMaxQueuedFrames);
}

void TickReplay::play(uint64_t) { tick_.tick(); }

}  // namespace vexlink::bench
