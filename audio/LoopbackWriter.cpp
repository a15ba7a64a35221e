#include "audio/LoopbackWriter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "audio/AlsaApi.h"
#include "audio/AudioFormat.h"

namespace vexlink {

bool isLoopbackAvailable() { return isLoopbackAvailable(realAlsaApi()); }

bool isLoopbackAvailable(AlsaApi& alsa) {
    snd_pcm_t* handle = nullptr;
    if (alsa.open(&handle, kLoopbackCheckDevice, SND_PCM_STREAM_PLAYBACK, 0) < 0) return false;
    alsa.close(handle);
    return true;
}

LoopbackWriter* LoopbackWriter::instance() {
    // Never deleted: a playout thread that is still running while the
    // process exits finds a closed writer, not a destroyed one.
    static LoopbackWriter* const writer = [] {
        auto* created = new LoopbackWriter(realAlsaApi());
        std::atexit(&LoopbackWriter::closeAtExit);
        return created;
    }();
    return writer;
}

void LoopbackWriter::closeAtExit() {
    LoopbackWriter* writer = instance();
    // A write blocked in ALSA must not hold the process's exit.
    if (!writer->writeMutex_.tryLock()) return;
    snd_pcm_t* handle = writer->handle_.exchange(nullptr);
    if (handle != nullptr) writer->alsa_.close(handle);
    writer->writeMutex_.unlock();
}

LoopbackWriter::LoopbackWriter(AlsaApi& alsa) : alsa_(alsa) { openDevice(); }

LoopbackWriter::~LoopbackWriter() {
    snd_pcm_t* handle = handle_.exchange(nullptr);
    if (handle != nullptr) alsa_.close(handle);
}

void LoopbackWriter::openDevice() {
    snd_pcm_t* handle = nullptr;
    const int openRc = alsa_.open(&handle, kLoopbackOutputDevice, SND_PCM_STREAM_PLAYBACK, 0);
    if (openRc < 0) {
        // Silent here: the front end tells a missing card from a busy device.
        openError_ = openRc;
        return;
    }
    handle_.store(handle);
    // Buffer size and software parameters stay at ALSA's defaults, so
    // playback starts with the first write.
    const int rc = alsa_.setHwParams(handle, SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_FORMAT_S16_LE, kChannels,
                                     kSampleRate, kFrameSamples);
    if (rc < 0) std::fprintf(stderr, "unable to set hw parameters: %s\n", snd_strerror(rc));
}

bool LoopbackWriter::write(const int16_t* pcm, int32_t frames) {
    if (pcm == nullptr || frames <= 0) return true;
    MutexLock lock(writeMutex_);
    snd_pcm_t* handle = handle_.load(std::memory_order_relaxed);
    if (handle == nullptr) return true;
    const snd_pcm_sframes_t r = alsa_.writei(handle, pcm, static_cast<snd_pcm_uframes_t>(frames));
    // An underrun: make the next write start the stream again. This block is
    // dropped rather than written late. Anything else (a short write, an
    // unconfigured device) is left for the next block to meet.
    if (r == -EPIPE) alsa_.prepare(handle);
    return true;
}

}  // namespace vexlink
