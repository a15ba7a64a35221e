#pragma once

#include <alsa/asoundlib.h>

namespace vexlink {

// The ALSA PCM calls that the loopback writer and the local player make,
// behind one interface so that tests can play a device that underruns,
// refuses or accepts frames in parts. realAlsaApi() forwards each call to
// libasound unchanged; it holds no state and may be used from any thread.
class AlsaApi {
public:
    virtual ~AlsaApi() = default;

    virtual int open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) = 0;
    virtual int close(snd_pcm_t* pcm) = 0;
    // The explicit hardware-parameter sequence: any, access, format,
    // channels, exact rate, period size (results of those ignored), then
    // install. Returns the result of the install.
    virtual int setHwParams(snd_pcm_t* pcm, snd_pcm_access_t access, snd_pcm_format_t format,
                            unsigned channels, unsigned rate, snd_pcm_uframes_t periodFrames) = 0;
    virtual int setParams(snd_pcm_t* pcm, snd_pcm_format_t format, snd_pcm_access_t access, unsigned channels,
                          unsigned rate, int softResample, unsigned latencyUs) = 0;
    virtual snd_pcm_sframes_t writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t frames) = 0;
    virtual int prepare(snd_pcm_t* pcm) = 0;
    virtual int recover(snd_pcm_t* pcm, int err, int silent) = 0;
    virtual int wait(snd_pcm_t* pcm, int timeoutMs) = 0;
    virtual int drain(snd_pcm_t* pcm) = 0;
};

AlsaApi& realAlsaApi();

}  // namespace vexlink
