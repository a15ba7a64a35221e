// The click detector on the benchmark's signal after a real libopus round
// trip, edited the ways playout can break it (or bend it, harmlessly).

#include <gtest/gtest.h>

#include <opus.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

#include "ClickDetector.h"
#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/TremoloSignal.h"

namespace vexlink::bench {
namespace {

using Pcm = std::vector<int16_t>;
constexpr size_t kFrame = 960;

// Three seconds of the signal as the client decodes it.
const Pcm& decoded() {
    static const Pcm pcm = [] {
        const phonesim::TremoloSignal signal;
        phonesim::OpusFrameEncoder encoder(phonesim::OpusApplication::Voip, 32000, 5);
        int err = 0;
        std::unique_ptr<OpusDecoder, void (*)(OpusDecoder*)> dec(opus_decoder_create(48000, 1, &err),
                                                                  opus_decoder_destroy);
        Pcm out;
        int16_t frame[kFrame];
        uint8_t packet[1275];
        for (uint64_t i = 0; i < 150; ++i) {
            signal.render(i, frame);
            const int32_t size = encoder.encode(frame, packet, sizeof packet);
            if (opus_decode(dec.get(), packet, size, frame, kFrame, 0) != int(kFrame)) return Pcm{};
            out.insert(out.end(), frame, frame + kFrame);
        }
        return out;
    }();
    return pcm;
}

Pcm frames(size_t from, size_t to) { return Pcm(decoded().begin() + from * kFrame, decoded().begin() + to * kFrame); }

Pcm join(std::initializer_list<Pcm> parts) {
    Pcm out;
    for (const Pcm& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Linear interpolation at `ratio` input samples per output sample.
Pcm resampled(double ratio) {
    const Pcm& in = decoded();
    Pcm out;
    for (double t = 0.0; t + 1.0 < double(in.size()); t += ratio) {
        const size_t i = size_t(t);
        out.push_back(int16_t(std::lround(in[i] + (t - double(i)) * (in[i + 1] - in[i]))));
    }
    return out;
}

TEST(ClickDetector, CountsOneClickPerBrokenFrameAndNoneForCleanOrResampledVoice) {
    ASSERT_FALSE(decoded().empty());
    const struct { const char* name; std::function<Pcm()> make; size_t clicks; } cases[] = {
        {"clean", [] { return frames(0, 150); }, 0},
        {"resampled +0.3%", [] { return resampled(1.003); }, 0},
        {"resampled -0.3%", [] { return resampled(0.997); }, 0},
        // Single frames at places spread over the tremolo's cycle.
        {"three frames dropped",
         [] { return join({frames(0, 20), frames(21, 57), frames(58, 101), frames(102, 150)}); }, 3},
        {"three frames repeated",
         [] { return join({frames(0, 31), frames(30, 66), frames(65, 118), frames(117, 150)}); }, 3},
        {"two pairs swapped",
         [] { return join({frames(0, 40), frames(41, 42), frames(40, 41), frames(42, 90), frames(91, 92),
                           frames(90, 91), frames(92, 150)}); }, 2},
    };
    const ClickDetector detector;
    for (const auto& c : cases) {
        const Pcm pcm = c.make();
        // Past the first frame, whose onset out of the codec's silence is a click of its own.
        EXPECT_EQ(detector.find(pcm.data() + kFrame, pcm.size() - kFrame).size(), c.clicks) << c.name;
    }
}

}  // namespace
}  // namespace vexlink::bench
