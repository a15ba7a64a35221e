#include "control/VoiceReceiver.h"

#include <memory>

#include "audio/AudioFormat.h"
#include "audio/PcmLevel.h"
#include "audio/VoiceDecoder.h"
#include "control/ControllerTypes.h"
#include "control/LatencyProbe.h"
#include "control/PacketSource.h"
#include "control/PlayoutQueue.h"
#include "media/RawMediaPacket.h"
#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"
#include "playout/PacketRing.h"
#include "transport/SocketErrorException.h"

namespace vexlink {

VoiceReceiver::VoiceReceiver(PacketSource& source, const std::atomic<int32_t>& state, int32_t serverVersion,
                             PlayoutQueue& queue, ReceptionStats& stats)
    : source_(source), state_(state), serverVersion_(serverVersion), queue_(queue), stats_(stats) {}

bool VoiceReceiver::connected() const { return state_.load() == kStateConnected; }

bool VoiceReceiver::plainLayout() const {
    const int32_t version = effectiveVersion();
    return version == 2 || version == 3;
}

template <typename ReadOnce>
bool VoiceReceiver::readWithAttempts(ReadOnce readOnce) {
    const int32_t version = effectiveVersion();
    try {
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (!connected()) return false;
            if (version < 2) return false;  // no layout for this version
            if (readOnce(version) == 0) return true;
        }
    } catch (const SocketErrorException&) {
        return false;
    }
    return false;
}

bool VoiceReceiver::readVoicePacket(VoiceDecoder& decoder, VoicePacket& packet) {
    return readWithAttempts([&](int32_t version) {
        packet.sampleCount = kFrameSamples;
        switch (version) {
            case 2: return source_.readPacketV2(decoder, packet);
            case 3: return source_.readPacketV3(decoder, packet);
            default: return source_.readPacketV4(decoder, packet);
        }
    });
}

bool VoiceReceiver::readRawPacket(RawMediaPacket& packet) {
    return readWithAttempts([&](int32_t version) {
        switch (version) {
            case 2: return source_.readRawPacketV2(packet);
            case 3: return source_.readRawPacketV3(packet);
            default: return source_.readRawPacketV4(packet);
        }
    });
}

template <typename TakeOne>
int32_t VoiceReceiver::receive(TakeOne takeOne) {
    int32_t result = 0;
    bool receivedAny = false;
    while (connected()) {
        if (!takeOne()) {
            result = receivedAny ? kResultAborted : kResultNoAudio;
            break;
        }
        ++stats_.received;
        receivedAny = true;
    }
    stats_.endTime = static_cast<uint32_t>(monotonicMs());
    return result;
}

int32_t VoiceReceiver::run(VoiceDecoder& decoder) {
    const bool plain = plainLayout();
    // The decoder's open result is not consulted: a packet that fails to
    // decode still counts as read and plays as silence.
    decoder.open();
    const int32_t result = receive([&] {
        auto packet = std::make_unique<VoicePacket>();
        if (!readVoicePacket(decoder, *packet)) return false;
        if (probe_ != nullptr) probe_->onArrival(*packet, monotonicUs());
        if (!plain) {
            stats_.onPacket(*packet, static_cast<uint32_t>(monotonicMs()));
            applyGainCode(packet->samples, kFrameSamples, packet->gainCode);
        }
        if (queue_.pushBackBounded(std::move(packet), kMaxQueuedFrames) != nullptr) ++overflowDrops_;
        return true;
    });
    decoder.close();
    return result;
}

int32_t VoiceReceiver::run(PacketRing& ring) {
    const bool plain = plainLayout();
    RawMediaPacket packet;  // the ring copies it; reused for every read
    return receive([&] {
        if (!readRawPacket(packet)) return false;
        const uint64_t nowUs = monotonicUs();
        if (probe_ != nullptr) probe_->onRawArrival(packet, nowUs);
        // The same clock as monotonicMs(), in its unit.
        if (!plain) stats_.onPacket(packet, static_cast<uint32_t>(nowUs / 1000));
        (void)ring.push(packet, nowUs);
        return true;
    });
}

}  // namespace vexlink
