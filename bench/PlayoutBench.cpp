// What playout costs per second of voice (50 frames of 20 ms).
//
//   TickEquivalent     what the queue-paced tick path spends on a frame:
//                      one opus_decode and one copy of the frame.
//   AdaptivePlayout    the playout core on arrivals right on schedule:
//                      insert 50 packets, 50 pulls of 960 samples. /0 with
//                      equal clocks (the ratio settles at 1: frames are
//                      copied), /300 and /3000 with the sender's clock that
//                      many ppm fast (resampling all the time).
//   PlayoutResampler   the core's resampler alone, 48000 samples at a ratio
//                      of 1.0003, in pulls of 960.
//   SpeexResampler/Q   libspeexdsp's resampler at quality Q (16-bit in and
//                      out, speex_resampler_set_rate_frac), same work.
//
// Each iteration is one second of voice; items per second are seconds of
// voice per second. For instruction counts run it under callgrind
// (valgrind --tool=callgrind --toggle-collect='*BM_*' with a
// --benchmark_filter) and divide the instructions by the iterations.

#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if VEXLINK_BENCH_SPEEXDSP
#include <speex/speex_resampler.h>
#endif

#include "audio/AudioFormat.h"
#include "audio/PcmLevel.h"
#include "playout/AdaptivePlayout.h"
#include "playout/FractionalResampler.h"
#include "playout/SampleFifo.h"

namespace {

using namespace vexlink;
using Bytes = std::vector<uint8_t>;

constexpr int kFramesPerSecond = 50;

// One second of a voice-like signal at 32 kbit/s, 20 ms VOIP frames.
const std::vector<Bytes>& encodedVoice() {
    static const std::vector<Bytes> frames = [] {
        int error = 0;
        OpusEncoder* encoder = opus_encoder_create(kSampleRate, kChannels, OPUS_APPLICATION_VOIP, &error);
        opus_encoder_ctl(encoder, OPUS_SET_BITRATE(32000));
        std::vector<Bytes> out;
        int16_t pcm[kFrameSamples];
        int64_t t = 0;
        for (int f = 0; f < kFramesPerSecond; ++f) {
            for (int16_t& s : pcm) {
                const double x = double(t++) / kSampleRate;
                s = int16_t(7000 * (0.6 + 0.4 * std::sin(2 * M_PI * 3 * x)) *
                            (std::sin(2 * M_PI * 180 * x) + 0.5 * std::sin(2 * M_PI * 720 * x)));
            }
            uint8_t packet[1500];
            const int length = opus_encode(encoder, pcm, kFrameSamples, packet, sizeof packet);
            out.emplace_back(packet, packet + std::max(length, 0));
        }
        opus_encoder_destroy(encoder);
        return out;
    }();
    return frames;
}

// A 440 Hz tone from a table of 44 whole periods, so no sine is computed
// while counting.
void fillSine(int16_t* p, int32_t n, int64_t& t) {
    static const std::vector<int16_t> tone = [] {
        std::vector<int16_t> v(4800);
        for (size_t i = 0; i < v.size(); ++i) v[i] = int16_t(9000 * std::sin(2 * M_PI * 440 * double(i) / kSampleRate));
        return v;
    }();
    for (int32_t i = 0; i < n; ++i, ++t) p[i] = tone[size_t(t % 4800)];
}

// Each workload does one second of voice per second(), a function of its
// own so that callgrind can count just that (--toggle-collect='*::second*').
struct TickEquivalent {
    TickEquivalent() {
        int error = 0;
        decoder = opus_decoder_create(kSampleRate, kChannels, &error);
        encodedVoice();  // encoded before anything is counted
    }
    ~TickEquivalent() { opus_decoder_destroy(decoder); }
    __attribute__((noinline)) void second() {
        for (const Bytes& p : encodedVoice()) {
            benchmark::DoNotOptimize(opus_decode(decoder, p.data(), int(p.size()), frame, kFrameSamples, 0));
            applyGainCode(frame, kFrameSamples, 5);
            std::memcpy(written, frame, sizeof written);
            benchmark::ClobberMemory();
        }
    }
    OpusDecoder* decoder = nullptr;
    int16_t frame[kFrameSamples], written[kFrameSamples];
};

// The core on arrivals right on schedule from a sender `ppm` fast; packets
// go in when they arrive (with a fast sender sometimes two before a pull),
// then the pull. Fifteen seconds first, so the clocks are measured and the
// ratio holds.
struct Adaptive {
    explicit Adaptive(double senderPpm) : ppm(senderPpm) {
        playout.startSession(4);
        for (int s = 0; s < 15; ++s) run();
    }
    __attribute__((noinline)) void second() { run(); }
    void run() {
        for (int f = 0; f < kFramesPerSecond; ++f) {
            const int64_t now = 1010000 + 20000 * pull++;
            for (int64_t arrival; (arrival = 1000000 + std::llround(double(frame) * 20000 / (1 + ppm * 1e-6))) <= now;) {
                const Bytes& p = encodedVoice()[size_t(frame % kFramesPerSecond)];
                packet.sequence = uint16_t(frame++);
                packet.gainCode = 5;
                packet.length = int32_t(p.size());
                std::memcpy(packet.payload, p.data(), p.size());
                playout.insert(packet, uint64_t(arrival));
            }
            benchmark::DoNotOptimize(playout.pull(out, kFrameSamples, uint64_t(now)));
        }
    }
    double ppm;
    AdaptivePlayout playout;
    RawMediaPacket packet;
    int16_t out[kFrameSamples];
    int64_t frame = 0, pull = 0;
};

struct Resampler {
    Resampler() {
        resampler.setRatio(1.0003);
        int16_t warm[1];
        fillSine(warm, 1, fed);
    }
    __attribute__((noinline)) void second() {
        for (int f = 0; f < kFramesPerSecond; ++f) {
            while (fifo.end() < position + resampler.inputSpan(kFrameSamples)) fillSine(fifo.append(kFrameSamples), kFrameSamples, fed);
            resampler.process(fifo, position, out, kFrameSamples);
            fifo.discardBefore(position - FractionalResampler::kHalfTaps);
            benchmark::DoNotOptimize(out);
        }
    }
    SampleFifo fifo;
    FractionalResampler resampler;
    int64_t position = 0, fed = 0;
    int16_t out[kFrameSamples];
};

#if VEXLINK_BENCH_SPEEXDSP
struct Speex {
    explicit Speex(int quality) {
        int error = 0;
        speex = speex_resampler_init_frac(1, 1000300, 1000000, kSampleRate, kSampleRate, quality, &error);
        speex_resampler_skip_zeros(speex);
        int16_t warm[1];
        fillSine(warm, 1, fed);
    }
    ~Speex() { speex_resampler_destroy(speex); }
    __attribute__((noinline)) void second() {
        for (int f = 0; f < kFramesPerSecond; ++f) {
            fillSine(in.data() + held, int32_t(in.size() - held), fed);
            spx_uint32_t inLength = spx_uint32_t(in.size()), outLength = kFrameSamples;
            speex_resampler_process_int(speex, 0, in.data(), &inLength, out, &outLength);
            held = spx_uint32_t(in.size()) - inLength;
            std::memmove(in.data(), in.data() + inLength, held * sizeof(int16_t));
            benchmark::DoNotOptimize(out);
        }
    }
    SpeexResamplerState* speex = nullptr;
    std::vector<int16_t> in = std::vector<int16_t>(2 * kFrameSamples);
    int16_t out[kFrameSamples];
    int64_t fed = 0;
    spx_uint32_t held = 0;
};
#endif

template <typename Workload, typename... Args>
void measure(benchmark::State& state, Args... args) {
    Workload workload(args...);
    for (auto _ : state) workload.second();
    state.SetItemsProcessed(state.iterations());
}

void BM_TickEquivalent(benchmark::State& state) { measure<TickEquivalent>(state); }
BENCHMARK(BM_TickEquivalent);

void BM_AdaptivePlayout(benchmark::State& state) {
    Adaptive workload(double(state.range(0)));
    for (auto _ : state) workload.second();
    state.counters["ratio_ppm"] = (workload.playout.counters().ratio - 1) * 1e6;
    state.counters["concealed"] = double(workload.playout.counters().concealed());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AdaptivePlayout)->Arg(0)->Arg(300)->Arg(3000);

void BM_PlayoutResampler(benchmark::State& state) { measure<Resampler>(state); }
BENCHMARK(BM_PlayoutResampler);

#if VEXLINK_BENCH_SPEEXDSP
void BM_SpeexResampler(benchmark::State& state) { measure<Speex>(state, int(state.range(0))); }
BENCHMARK(BM_SpeexResampler)->Arg(3)->Arg(5);
#endif

// For callgrind: `playout_bench --seconds NAME N` runs N seconds of one
// workload (tick, adaptive0, adaptive300, resampler, speex3, speex5).
template <typename Workload, typename... Args>
int runSeconds(int seconds, Args... args) {
    Workload workload(args...);
    for (int s = 0; s < seconds; ++s) workload.second();
    return 0;
}

int runNamed(const std::string& name, int seconds) {
    if (name == "tick") return runSeconds<TickEquivalent>(seconds);
    if (name == "adaptive0") return runSeconds<Adaptive>(seconds, 0.0);
    if (name == "adaptive300") return runSeconds<Adaptive>(seconds, 300.0);
    if (name == "resampler") return runSeconds<Resampler>(seconds);
#if VEXLINK_BENCH_SPEEXDSP
    if (name == "speex3") return runSeconds<Speex>(seconds, 3);
    if (name == "speex5") return runSeconds<Speex>(seconds, 5);
#endif
    std::fprintf(stderr, "unknown workload %s\n", name.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--seconds") return runNamed(argv[2], std::atoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
