#include "audio/LocalPlayer.h"

#include <cerrno>

#include "audio/AlsaApi.h"
#include "audio/AudioFormat.h"

namespace vexlink {

LocalPlayer::LocalPlayer(int32_t sampleRate) : LocalPlayer(sampleRate, realAlsaApi()) {}

LocalPlayer::LocalPlayer(int32_t sampleRate, AlsaApi& alsa) : sampleRate_(sampleRate), alsa_(&alsa) {}

LocalPlayer::~LocalPlayer() {
    if (handle_ != nullptr) close();
}

int32_t LocalPlayer::open() {
    if (handle_ != nullptr) return 0;  // already open: keep that handle rather than lose it
    snd_pcm_t* handle = nullptr;
    if (alsa_->open(&handle, kLocalDevice, SND_PCM_STREAM_PLAYBACK, 0) < 0) return -1;
    handle_ = handle;
    // Refused parameters are not fatal here: the writes then fail and the
    // loopback output carries on regardless.
    alsa_->setParams(handle_, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kChannels,
                     static_cast<unsigned>(sampleRate_), 0, 0);
    return 0;
}

int32_t LocalPlayer::write(const int16_t* pcm, uint32_t frames) {
    if (handle_ == nullptr) return 0;
    if (frames == 0) return 0;
    if (pcm == nullptr) return -1;
    uint32_t position = 0;
    uint32_t remaining = frames;
    int stalls = 0;
    while (remaining != 0) {
        snd_pcm_sframes_t r = alsa_->writei(handle_, pcm + position, remaining);
        if (r == -EAGAIN || (r > 0 && static_cast<uint64_t>(r) < remaining)) {
            alsa_->wait(handle_, kWaitMs);
        } else if (r == -EPIPE) {
            // Underrun: recover (ALSA reports it on stderr) and rewrite the
            // frames not yet taken at once.
            alsa_->recover(handle_, static_cast<int>(r), 0);
            r = alsa_->writei(handle_, pcm + position, remaining);
        } else if (r < 0) {
            return -1;
        }
        if (r > 0) {
            // A device that claims more than it was offered has taken it all.
            const uint32_t taken = static_cast<uint64_t>(r) < remaining ? static_cast<uint32_t>(r) : remaining;
            position += taken;
            remaining -= taken;
            stalls = 0;
        } else if (++stalls >= kMaxStalls) {
            return -1;
        }
    }
    return 0;
}

void LocalPlayer::close() {
    if (handle_ == nullptr) return;
    alsa_->drain(handle_);
    alsa_->close(handle_);
    handle_ = nullptr;
}

}  // namespace vexlink
