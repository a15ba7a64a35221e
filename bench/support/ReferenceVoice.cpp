#include "ReferenceVoice.h"

#include "audio/AudioFormat.h"
#include "audio/OpusVoiceDecoder.h"
#include "audio/PcmLevel.h"
#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/ToneSignal.h"

namespace vexlink::bench {

std::vector<int16_t> referenceVoice(const phonesim::MediaConfig& media, size_t frames) {
    std::vector<int16_t> out(frames * kFrameSamples, 0);
    const std::shared_ptr<const phonesim::SignalSource> signal =
        media.signal ? media.signal : std::make_shared<phonesim::ToneSignal>();
    phonesim::OpusFrameEncoder encoder(media.application, media.bitrate, media.complexity, media.fecLossPercent);
    OpusVoiceDecoder decoder(kSampleRate, kChannels);
    if (!encoder.ok() || !decoder.open()) return {};
    int16_t frame[kFrameSamples];
    uint8_t packet[1275];
    for (size_t i = 0; i < frames; ++i) {
        signal->render(i, frame);
        const int32_t size = encoder.encode(frame, packet, sizeof packet);
        int16_t* pcm = out.data() + i * kFrameSamples;
        int32_t count = kFrameSamples;
        if (size > 0 && decoder.decode(packet, size, pcm, count)) applyGainCode(pcm, kFrameSamples, media.gainCode);
    }
    decoder.close();
    return out;
}

}  // namespace vexlink::bench
