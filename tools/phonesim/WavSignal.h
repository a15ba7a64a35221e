#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tools/phonesim/SignalSource.h"

namespace vexlink::phonesim {

// A 16-bit PCM WAV file as a signal: stereo is averaged to mono; 48000 Hz is
// taken as it is, and rates that divide 48000 evenly (8000, 12000, 16000,
// 24000) are raised to it by linear interpolation. Other rates are refused.
// The last frame is padded with silence; the file repeats after its end.
class WavSignal : public SignalSource {
public:
    static constexpr size_t kMaxFileBytes = 256u * 1024u * 1024u;

    // Null with a one-line reason in *error when the file cannot be used.
    static std::unique_ptr<WavSignal> load(const std::string& path, std::string* error);
    // The same from bytes already in memory (untrusted: every field checked).
    static std::unique_ptr<WavSignal> parse(const uint8_t* data, size_t size, std::string* error);

    void render(uint64_t index, int16_t* out) const override;
    uint64_t frameCount() const override;

    const std::vector<int16_t>& samples() const { return samples_; }
    uint32_t sourceRate() const { return sourceRate_; }
    uint16_t sourceChannels() const { return sourceChannels_; }

private:
    WavSignal() = default;

    std::vector<int16_t> samples_;  // mono, 48000 Hz
    uint32_t sourceRate_ = 0;
    uint16_t sourceChannels_ = 0;
};

}  // namespace vexlink::phonesim
