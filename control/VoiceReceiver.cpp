#include "control/VoiceReceiver.h"

#include <memory>

#include "audio/AudioFormat.h"
#include "audio/PcmLevel.h"
#include "audio/VoiceDecoder.h"
#include "control/ControllerTypes.h"
#include "control/LatencyProbe.h"
#include "control/PacketSource.h"
#include "control/PlayoutQueue.h"
#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"
#include "transport/SocketErrorException.h"

namespace vexlink {

VoiceReceiver::VoiceReceiver(PacketSource& source, const std::atomic<int32_t>& state, int32_t serverVersion,
                             PlayoutQueue& queue, ReceptionStats& stats)
    : source_(source), state_(state), serverVersion_(serverVersion), queue_(queue), stats_(stats) {}

bool VoiceReceiver::connected() const { return state_.load() == kStateConnected; }

bool VoiceReceiver::readVoicePacket(VoiceDecoder& decoder, VoicePacket& packet) {
    const int32_t version = effectiveVersion();
    try {
        for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
            if (!connected()) return false;
            packet.sampleCount = kFrameSamples;
            int32_t result;
            switch (version) {
                case 2: result = source_.readPacketV2(decoder, packet); break;
                case 3: result = source_.readPacketV3(decoder, packet); break;
                case 4: result = source_.readPacketV4(decoder, packet); break;
                default: return false;  // no layout for this version
            }
            if (result == 0) return true;
        }
    } catch (const SocketErrorException&) {
        return false;
    }
    return false;
}

int32_t VoiceReceiver::run(VoiceDecoder& decoder) {
    const int32_t version = effectiveVersion();
    const bool plain = version == 2 || version == 3;
    // The decoder's open result is not consulted: a packet that fails to
    // decode still counts as read and plays as silence.
    decoder.open();

    int32_t result = 0;
    bool receivedAny = false;
    while (connected()) {
        auto packet = std::make_unique<VoicePacket>();
        if (!readVoicePacket(decoder, *packet)) {
            result = receivedAny ? kResultAborted : kResultNoAudio;
            break;
        }
        if (probe_ != nullptr) probe_->onArrival(*packet, monotonicUs());
        if (!plain) {
            stats_.onPacket(*packet, static_cast<uint32_t>(monotonicMs()));
            applyGainCode(packet->samples, kFrameSamples, packet->gainCode);
        }
        if (queue_.pushBackBounded(std::move(packet), kMaxQueuedFrames) != nullptr) ++overflowDrops_;
        ++stats_.received;
        receivedAny = true;
    }

    stats_.endTime = static_cast<uint32_t>(monotonicMs());
    decoder.close();
    return result;
}

}  // namespace vexlink
