#include "audio/AlsaApi.h"

#include <cerrno>
#include <memory>

namespace vexlink {

namespace {

class RealAlsaApi final : public AlsaApi {
public:
    int open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) override {
        return snd_pcm_open(pcm, name, stream, mode);
    }

    int close(snd_pcm_t* pcm) override { return snd_pcm_close(pcm); }

    int setHwParams(snd_pcm_t* pcm, snd_pcm_access_t access, snd_pcm_format_t format, unsigned channels,
                    unsigned rate, snd_pcm_uframes_t periodFrames) override {
        snd_pcm_hw_params_t* raw = nullptr;
        if (snd_pcm_hw_params_malloc(&raw) < 0) return -ENOMEM;  // the block comes zeroed
        std::unique_ptr<snd_pcm_hw_params_t, void (*)(snd_pcm_hw_params_t*)> params(raw, &snd_pcm_hw_params_free);
        snd_pcm_hw_params_any(pcm, params.get());
        // Each of these may be refused on its own; the install below is what
        // decides whether the device is usable.
        snd_pcm_hw_params_set_access(pcm, params.get(), access);
        snd_pcm_hw_params_set_format(pcm, params.get(), format);
        snd_pcm_hw_params_set_channels(pcm, params.get(), channels);
        snd_pcm_hw_params_set_rate(pcm, params.get(), rate, 0);
        snd_pcm_hw_params_set_period_size(pcm, params.get(), periodFrames, 0);
        return snd_pcm_hw_params(pcm, params.get());
    }

    int setParams(snd_pcm_t* pcm, snd_pcm_format_t format, snd_pcm_access_t access, unsigned channels,
                  unsigned rate, int softResample, unsigned latencyUs) override {
        return snd_pcm_set_params(pcm, format, access, channels, rate, softResample, latencyUs);
    }

    snd_pcm_sframes_t writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t frames) override {
        return snd_pcm_writei(pcm, buffer, frames);
    }

    int prepare(snd_pcm_t* pcm) override { return snd_pcm_prepare(pcm); }
    int recover(snd_pcm_t* pcm, int err, int silent) override { return snd_pcm_recover(pcm, err, silent); }
    int wait(snd_pcm_t* pcm, int timeoutMs) override { return snd_pcm_wait(pcm, timeoutMs); }
    int drain(snd_pcm_t* pcm) override { return snd_pcm_drain(pcm); }
};

}  // namespace

AlsaApi& realAlsaApi() {
    // Stateless and never destroyed, so a writer may still use it while the
    // process runs its static destructors.
    static RealAlsaApi* const api = new RealAlsaApi;
    return *api;
}

}  // namespace vexlink
