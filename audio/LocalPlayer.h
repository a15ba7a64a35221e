#pragma once

#include <cstdint>

typedef struct _snd_pcm snd_pcm_t;

namespace vexlink {

// Optional playback of the voice on the ALSA "default" device. Owned by the
// controller: open() and close() run on its event thread, write() on the
// playout timer's thread, never overlapping.
class LocalPlayer {
public:
    explicit LocalPlayer(int32_t sampleRate);
    ~LocalPlayer();
    LocalPlayer(const LocalPlayer&) = delete;
    LocalPlayer& operator=(const LocalPlayer&) = delete;

    int32_t open();                                    // 0 or -1
    int32_t write(const int16_t* pcm, uint32_t frames); // 0 or -1
    void close();                                      // drain, close
    bool isOpen() const { return handle_ != nullptr; }

private:
    snd_pcm_t* handle_ = nullptr;
    int32_t sampleRate_;
};

}  // namespace vexlink
