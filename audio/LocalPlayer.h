#pragma once

#include <cstdint>

typedef struct _snd_pcm snd_pcm_t;

namespace vexlink {

class AlsaApi;

// Optional playback of the voice on the ALSA "default" device. Owned by the
// controller: open() and close() run on its event thread, write() on the
// playout timer's thread, never overlapping.
class LocalPlayer {
public:
    explicit LocalPlayer(int32_t sampleRate);
    // Over the given ALSA calls instead of libasound itself (tests).
    LocalPlayer(int32_t sampleRate, AlsaApi& alsa);
    ~LocalPlayer();
    LocalPlayer(const LocalPlayer&) = delete;
    LocalPlayer& operator=(const LocalPlayer&) = delete;

    int32_t open();                                    // 0 or -1
    int32_t write(const int16_t* pcm, uint32_t frames); // 0 or -1
    void close();                                      // drain, close
    bool isOpen() const { return handle_ != nullptr; }

    // How long write() waits for room after a short or refused write.
    static constexpr int kWaitMs = 100;
    // Consecutive attempts that move no frame (refused, zero, failed
    // rewrite after an underrun) after which write() gives the block up,
    // so a device that never takes data cannot hold the playout thread.
    static constexpr int kMaxStalls = 5;

private:
    snd_pcm_t* handle_ = nullptr;
    int32_t sampleRate_;
    AlsaApi* alsa_;
};

}  // namespace vexlink
