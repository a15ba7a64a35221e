// What the receive thread spends on one 20 ms voice frame.
//
//   BareOpusDecode   opus_decode of a real encoded frame, nothing else.
//   FullPathV4       a version-4 datagram already waiting in the socket
//                    buffer of a WifiMediaStream: readPacketV4 (receive,
//                    header, payload, decode), the arrival time,
//                    ReceptionStats::onPacket and applyGainCode.
//
// Both decode the same second of encoded voice in a loop. The datagram is
// sent on 127.0.0.1 before each timed frame, outside the timing: sending is
// the phone's work. Both time each frame with the thread's own CPU clock,
// so that on a shared machine the slices of other processes do not count
// (on an idle machine it agrees with the wall clock; the receive never
// waits, the datagram is already queued). At the end the program prints
// full/bare; the receive path is meant to cost at most 1.3 times the bare
// decode.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <opus/opus.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/OpusVoiceDecoder.h"
#include "audio/PcmLevel.h"
#include "media/PacketReader.h"
#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "media/WifiMediaStream.h"
#include "platform/Clock.h"

namespace {

using namespace vexlink;
using Bytes = std::vector<uint8_t>;

constexpr int kFramesInLoop = 50;  // one second of voice
constexpr int kBitrate = 32000;

// One second of a voice-like signal (two tones under a slow tremolo and a
// little noise) encoded the way the phone sends it: 20 ms VOIP frames.
const std::vector<Bytes>& encodedVoice() {
    static const std::vector<Bytes> frames = [] {
        int error = 0;
        OpusEncoder* encoder = opus_encoder_create(kSampleRate, kChannels, OPUS_APPLICATION_VOIP, &error);
        opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kBitrate));
        std::vector<Bytes> out;
        int16_t pcm[kFrameSamples];
        uint32_t noise = 12345;
        int64_t t = 0;
        for (int f = 0; f < kFramesInLoop; ++f) {
            for (int i = 0; i < kFrameSamples; ++i, ++t) {
                const double s = static_cast<double>(t) / kSampleRate;
                const double level = 0.5 + 0.4 * std::sin(2 * M_PI * 3 * s);
                noise = noise * 1664525u + 1013904223u;
                const double n = static_cast<int32_t>(noise >> 16) - 32768;
                pcm[i] = static_cast<int16_t>(7000 * level * (std::sin(2 * M_PI * 180 * s) +
                                                              0.4 * std::sin(2 * M_PI * 1240 * s)) +
                                              0.02 * n);
            }
            uint8_t packet[1000];
            const int n = opus_encode(encoder, pcm, kFrameSamples, packet, sizeof packet);
            out.emplace_back(packet, packet + (n > 0 ? n : 0));
        }
        opus_encoder_destroy(encoder);
        return out;
    }();
    return frames;
}

// CPU time of the calling thread, ns.
int64_t threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Bytes v4Datagram(const Bytes& payload, uint16_t sequence, uint32_t timestamp) {
    const auto length = static_cast<uint16_t>(payload.size() + 7);
    Bytes b{4, 0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
            static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
            static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
            static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp), 6};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

void BareOpusDecode(benchmark::State& state) {
    const auto& frames = encodedVoice();
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(kSampleRate, kChannels, &error);
    int16_t pcm[kFrameSamples];
    size_t i = 0;
    for (auto _ : state) {
        const Bytes& f = frames[i++ % frames.size()];
        const int64_t start = threadCpuNs();
        const int n = opus_decode(decoder, f.data(), static_cast<opus_int32>(f.size()), pcm, kFrameSamples, 0);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(pcm);
        const int64_t end = threadCpuNs();
        state.SetIterationTime(static_cast<double>(end - start) * 1e-9);
    }
    opus_decoder_destroy(decoder);
    state.SetItemsProcessed(state.iterations());
}

void FullPathV4(benchmark::State& state) {
    const auto& frames = encodedVoice();
    std::vector<Bytes> datagrams;
    for (int i = 0; i < kFramesInLoop; ++i) {
        datagrams.push_back(v4Datagram(frames[i], static_cast<uint16_t>(i), static_cast<uint32_t>(20 * i)));
    }

    WifiMediaStream stream(0);  // the kernel picks the port
    if (stream.open() != 0) {
        state.SkipWithError("cannot bind the media socket");
        return;
    }
    sockaddr_in6 local{};
    socklen_t len = sizeof local;
    getsockname(stream.socketFd(), reinterpret_cast<sockaddr*>(&local), &len);
    const int sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = local.sin6_port;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    stream.setPhoneAddress(PeerAddressFilter(reinterpret_cast<const sockaddr*>(&target), sizeof target));

    OpusVoiceDecoder decoder(kSampleRate, kChannels);
    decoder.open();
    ReceptionStats stats;
    VoicePacket packet;
    size_t i = 0;
    for (auto _ : state) {
        const Bytes& d = datagrams[i++ % datagrams.size()];
        if (sendto(sender, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target) !=
            static_cast<ssize_t>(d.size())) {
            state.SkipWithError("send failed");
            break;
        }
        const int64_t start = threadCpuNs();
        packet.sampleCount = kFrameSamples;
        const int32_t result = readPacketV4(stream, decoder, packet);
        stats.onPacket(packet, static_cast<uint32_t>(monotonicMs()));
        applyGainCode(packet.samples, kFrameSamples, packet.gainCode);
        benchmark::DoNotOptimize(packet.samples);
        const int64_t end = threadCpuNs();
        if (result != 0) {
            state.SkipWithError("packet not read");
            break;
        }
        state.SetIterationTime(static_cast<double>(end - start) * 1e-9);
    }
    decoder.close();
    stream.close();
    ::close(sender);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BareOpusDecode)->UseManualTime()->Unit(benchmark::kNanosecond);
BENCHMARK(FullPathV4)->UseManualTime()->Unit(benchmark::kNanosecond);

// Console output as usual, plus the full/bare ratio at the end (of the
// medians when repetitions are asked for).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            // Both benchmarks report in nanoseconds.
            const std::string& base = run.run_name.function_name;
            if (run.run_type == Run::RT_Iteration) {
                plain_[base] = run.GetAdjustedRealTime();
            } else if (run.aggregate_name == "median") {
                medians_[base] = run.GetAdjustedRealTime();
            }
        }
    }

    void printRatio() const {
        const auto pick = [this](const std::string& n) {
            const auto m = medians_.find(n);
            if (m != medians_.end()) {
                return m->second;
            }
            const auto p = plain_.find(n);
            return p != plain_.end() ? p->second : 0.0;
        };
        const double bare = pick("BareOpusDecode");
        const double full = pick("FullPathV4");
        if (bare > 0 && full > 0) {
            std::printf("ns per 20 ms frame: bare decode %.0f, full path %.0f; full/bare %.3f (target <= 1.3)\n",
                        bare, full, full / bare);
        }
    }

private:
    std::map<std::string, double> medians_;
    std::map<std::string, double> plain_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printRatio();
    benchmark::Shutdown();
    return 0;
}
