#pragma once

#include <cstdint>

typedef struct _snd_pcm snd_pcm_t;

namespace vexlink {

// True when the loopback card's playback device can be opened (it is closed
// again at once).
bool isLoopbackAvailable();

// The process-wide writer to the loopback card's playback side. Created and
// opened on the first instance() call (at start-up, before other threads
// exist), never closed while the process runs. write() is called only from
// the playout timer's thread.
class LoopbackWriter {
public:
    static LoopbackWriter* instance();

    // Writes one block; an underrun re-prepares the device and drops the
    // block. Always true; does nothing when the device did not open.
    bool write(const int16_t* pcm, int32_t frames);

    bool isOpen() const { return handle_ != nullptr; }

    LoopbackWriter(const LoopbackWriter&) = delete;
    LoopbackWriter& operator=(const LoopbackWriter&) = delete;

private:
    LoopbackWriter() = default;
    void openDevice();

    snd_pcm_t* handle_ = nullptr;
};

}  // namespace vexlink
