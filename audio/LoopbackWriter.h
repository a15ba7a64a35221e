#pragma once

#include <atomic>
#include <cstdint>

#include "platform/Mutex.h"

typedef struct _snd_pcm snd_pcm_t;

namespace vexlink {

class AlsaApi;

// True when the loopback card's playback device can be opened (it is closed
// again at once).
bool isLoopbackAvailable();
bool isLoopbackAvailable(AlsaApi& alsa);

// The process-wide writer to the loopback card's playback side. Created and
// opened on the first instance() call (main makes it first thing on the ALSA
// output; with the PipeWire output nothing ever does), never closed while
// the process runs: it is closed only as the
// process exits, after the controller has stopped the playout, so that
// whatever ALSA still buffers (a file-backed device) is handed on. write()
// is called from the playout timer's thread, and between connections of a
// reconnecting run from the silence feeder's thread (never both at once).
class LoopbackWriter {
public:
    static LoopbackWriter* instance();

    // A writer of its own over the given ALSA calls, opened at once and
    // closed by its destructor. For tests; the system uses instance().
    explicit LoopbackWriter(AlsaApi& alsa);
    ~LoopbackWriter();

    // Writes one block; an underrun re-prepares the device and drops the
    // block. Always true; does nothing when the device did not open.
    bool write(const int16_t* pcm, int32_t frames);

    bool isOpen() const { return handle_.load(std::memory_order_acquire) != nullptr; }
    // The negative ALSA code of the failed open of the device (-EBUSY when
    // another program holds it), or 0 when it opened. Set before other
    // threads exist; read-only afterwards.
    int openError() const { return openError_; }

    LoopbackWriter(const LoopbackWriter&) = delete;
    LoopbackWriter& operator=(const LoopbackWriter&) = delete;

private:
    void openDevice();
    // At exit: closes the device unless a write is in progress (then the
    // process's end releases it).
    static void closeAtExit();

    AlsaApi& alsa_;
    std::atomic<snd_pcm_t*> handle_{nullptr};
    int openError_ = 0;
    // Held around each write and the close at exit; never contended while
    // the process runs.
    Mutex writeMutex_;
};

}  // namespace vexlink
