#pragma once

#include <cerrno>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "audio/AlsaApi.h"

namespace vexlink::test {

// A scripted ALSA device. Every call is logged as a line of text; writei
// logs the first sample of the block it was given, so blocks filled with
// sample[i] = i show the position the writer started from.
class FakeAlsa : public AlsaApi {
public:
    int openResult = 0;
    int hwParamsResult = 0;
    int setParamsResult = 0;
    // Results of successive writei calls; once used up every write is taken
    // whole, or, with `foreverResult` set, always gets that result.
    std::deque<snd_pcm_sframes_t> writeResults;
    bool useForever = false;
    snd_pcm_sframes_t foreverResult = 0;

    std::vector<std::string> log;
    int writeCalls = 0;

    snd_pcm_t* handle() { return reinterpret_cast<snd_pcm_t*>(&token_); }

    int open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) override {
        log.push_back("open " + std::string(name) + " " + std::to_string(stream) + " " + std::to_string(mode));
        if (openResult < 0) return openResult;
        *pcm = handle();
        return 0;
    }
    int close(snd_pcm_t* pcm) override {
        log.push_back(pcm == handle() ? "close" : "close ?");
        return 0;
    }
    int setHwParams(snd_pcm_t* pcm, snd_pcm_access_t access, snd_pcm_format_t format, unsigned channels,
                    unsigned rate, snd_pcm_uframes_t periodFrames) override {
        log.push_back(std::string(pcm == handle() ? "" : "? ") + "hw " + std::to_string(access) + " " +
                      std::to_string(format) + " " + std::to_string(channels) + " " + std::to_string(rate) + " " +
                      std::to_string(periodFrames));
        return hwParamsResult;
    }
    int setParams(snd_pcm_t* pcm, snd_pcm_format_t format, snd_pcm_access_t access, unsigned channels,
                  unsigned rate, int softResample, unsigned latencyUs) override {
        log.push_back(std::string(pcm == handle() ? "" : "? ") + "params " + std::to_string(format) + " " +
                      std::to_string(access) + " " + std::to_string(channels) + " " + std::to_string(rate) + " " +
                      std::to_string(softResample) + " " + std::to_string(latencyUs));
        return setParamsResult;
    }
    snd_pcm_sframes_t writei(snd_pcm_t*, const void* buffer, snd_pcm_uframes_t frames) override {
        ++writeCalls;
        const int16_t first = static_cast<const int16_t*>(buffer)[0];
        log.push_back("writei " + std::to_string(frames) + "@" + std::to_string(first));
        if (!writeResults.empty()) {
            const snd_pcm_sframes_t r = writeResults.front();
            writeResults.pop_front();
            return r;
        }
        return useForever ? foreverResult : static_cast<snd_pcm_sframes_t>(frames);
    }
    int prepare(snd_pcm_t*) override {
        log.push_back("prepare");
        return 0;
    }
    int recover(snd_pcm_t*, int err, int silent) override {
        log.push_back("recover " + std::to_string(err) + " " + std::to_string(silent));
        return 0;
    }
    int wait(snd_pcm_t*, int timeoutMs) override {
        log.push_back("wait " + std::to_string(timeoutMs));
        return 1;
    }
    int drain(snd_pcm_t*) override {
        log.push_back("drain");
        return 0;
    }

private:
    int token_ = 0;
};

// 960 samples with sample[i] = i.
inline std::vector<int16_t> rampFrame(size_t count = 960) {
    std::vector<int16_t> frame(count);
    for (size_t i = 0; i < count; ++i) frame[i] = static_cast<int16_t>(i);
    return frame;
}

}  // namespace vexlink::test
