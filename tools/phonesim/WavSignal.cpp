#include "tools/phonesim/WavSignal.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace vexlink::phonesim {

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

}  // namespace

std::unique_ptr<WavSignal> WavSignal::load(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail(error, path + ": cannot open the file");
        return nullptr;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > kMaxFileBytes) {
        fail(error, path + ": not readable or larger than 256 MiB");
        return nullptr;
    }
    in.seekg(0, std::ios::beg);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        fail(error, path + ": read error");
        return nullptr;
    }
    std::string why;
    auto signal = parse(bytes.data(), bytes.size(), &why);
    if (!signal) fail(error, path + ": " + why);
    return signal;
}

std::unique_ptr<WavSignal> WavSignal::parse(const uint8_t* data, size_t size, std::string* error) {
    if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) {
        fail(error, "not a RIFF/WAVE file");
        return nullptr;
    }
    bool haveFormat = false;
    uint16_t format = 0, channels = 0, bits = 0, blockAlign = 0;
    uint32_t rate = 0;
    const uint8_t* pcm = nullptr;
    size_t pcmBytes = 0;
    size_t pos = 12;
    while (size - pos >= 8) {
        const uint8_t* chunk = data + pos;
        const uint32_t declared = le32(chunk + 4);
        const size_t available = size - pos - 8;
        const size_t body = std::min<size_t>(declared, available);  // writers that stream leave the size open
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (body < 16) {
                fail(error, "format chunk too short");
                return nullptr;
            }
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            rate = le32(chunk + 12);
            blockAlign = le16(chunk + 20);
            bits = le16(chunk + 22);
            if (format == 0xFFFE && body >= 26) format = le16(chunk + 8 + 24);  // extensible: sub-format
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            pcm = chunk + 8;
            pcmBytes = body;
            break;
        }
        const size_t advance = 8 + body + (body & 1u);
        if (advance > size - pos) break;
        pos += advance;
    }
    if (!haveFormat) {
        fail(error, "no format chunk");
        return nullptr;
    }
    if (format != 1 || bits != 16) {
        fail(error, "only 16-bit PCM WAV files are supported");
        return nullptr;
    }
    if (channels != 1 && channels != 2) {
        fail(error, "only mono or stereo WAV files are supported");
        return nullptr;
    }
    if (blockAlign != channels * 2u) {
        fail(error, "inconsistent block alignment");
        return nullptr;
    }
    if (rate == 0 || rate > static_cast<uint32_t>(kSimSampleRate) || kSimSampleRate % rate != 0 || rate < 8000) {
        fail(error, "sample rate " + std::to_string(rate) +
                        " Hz is not supported; convert the file to 48000 Hz (8000, 12000, 16000 and 24000 Hz are raised to it)");
        return nullptr;
    }
    const size_t inFrames = pcm ? pcmBytes / blockAlign : 0;
    if (inFrames == 0) {
        fail(error, "no samples in the data chunk");
        return nullptr;
    }
    std::vector<int16_t> mono(inFrames);
    for (size_t i = 0; i < inFrames; ++i) {
        const uint8_t* s = pcm + i * blockAlign;
        const int32_t left = static_cast<int16_t>(le16(s));
        const int32_t sum = channels == 2 ? left + static_cast<int16_t>(le16(s + 2)) : left * 2;
        mono[i] = static_cast<int16_t>(sum / 2);
    }
    std::unique_ptr<WavSignal> signal(new WavSignal());
    signal->sourceRate_ = rate;
    signal->sourceChannels_ = channels;
    const uint32_t factor = static_cast<uint32_t>(kSimSampleRate) / rate;
    if (factor == 1) {
        signal->samples_ = std::move(mono);
    } else {
        signal->samples_.resize(inFrames * factor);
        for (size_t i = 0; i < inFrames; ++i) {
            const int32_t a = mono[i];
            const int32_t b = i + 1 < inFrames ? mono[i + 1] : mono[i];
            for (uint32_t m = 0; m < factor; ++m) {
                signal->samples_[i * factor + m] =
                    static_cast<int16_t>(a + (b - a) * static_cast<int32_t>(m) / static_cast<int32_t>(factor));
            }
        }
    }
    return signal;
}

uint64_t WavSignal::frameCount() const { return (samples_.size() + kSimFrameSamples - 1) / kSimFrameSamples; }

void WavSignal::render(uint64_t index, int16_t* out) const {
    const uint64_t frames = frameCount();
    const size_t start = static_cast<size_t>((index % frames) * kSimFrameSamples);
    const size_t n = std::min<size_t>(kSimFrameSamples, samples_.size() - start);
    std::copy_n(samples_.data() + start, n, out);
    std::fill(out + n, out + kSimFrameSamples, int16_t{0});
}

}  // namespace vexlink::phonesim
