// The playout's CPU cost, counted in instructions rather than time (wall-
// clock CPU on a shared machine varies twofold):
//
//   valgrind --tool=callgrind --instr-atstart=no playout_replay_bench --strategy tick|adaptive|adaptive-codec
//
// builds one arrival trace deterministically (ArrivalTrace: the jitter-20ms
// profile, 60 s, seed 7) before instrumentation starts, then replays it
// through one strategy on a clock advanced by hand, single-threaded, with
// callgrind counting only the replay. Instructions per voice second are
// callgrind's total divided by the trace's seconds, printed on the last line
// as "voice_s=60". Without valgrind the program runs the same and reports
// the replay's thread CPU time instead.

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "AdaptiveReplay.h"
#include "ArrivalTrace.h"
#include "TickReplay.h"

#ifdef VEXLINK_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

namespace {

using namespace vexlink::bench;

constexpr uint64_t kTickUs = 20000;
// The consumer runs 10 ms ahead of the voice's schedule (the phase of the
// end-to-end profiles); the adaptive playout's pulls keep that phase (the
// client's first-tick re-phasing changes where frames fall in a pull, not
// the work).
constexpr uint64_t kFirstTickUs = 10000;

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::unique_ptr<PlayoutReplay> makeReplay(const std::string& strategy) {
    if (strategy == "tick") return std::make_unique<TickReplay>();
    if (strategy == "adaptive") return std::make_unique<AdaptiveReplay>(vexlink::Concealment::Fade);
    if (strategy == "adaptive-codec") return std::make_unique<AdaptiveReplay>(vexlink::Concealment::Codec);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    std::string strategy = "tick";
    uint32_t seconds = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--strategy" && i + 1 < argc) {
            strategy = argv[++i];
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: playout_replay_bench [--strategy tick|adaptive|adaptive-codec] [--seconds N]\n");
            return 1;
        }
    }
    vexlink::phonesim::ImpairmentConfig jitter;
    jitter.seed = 7;
    jitter.jitterMs = 20;
    const size_t frames = static_cast<size_t>(seconds) * 50;
    const std::vector<TraceArrival> trace = buildArrivalTrace(jitter, frames);
    std::unique_ptr<PlayoutReplay> replay = makeReplay(strategy);
    if (!replay) {
        std::fprintf(stderr, "no strategy \"%s\" (known: tick, adaptive, adaptive-codec)\n", strategy.c_str());
        return 1;
    }

    const double cpuBefore = threadCpuSeconds();
    CALLGRIND_START_INSTRUMENTATION;
    size_t next = 0;
    const uint64_t endUs = static_cast<uint64_t>(frames) * kTickUs + kFirstTickUs;
    for (uint64_t nowUs = kFirstTickUs; nowUs <= endUs; nowUs += kTickUs) {
        while (next < trace.size() && trace[next].arrivalUs <= nowUs) {
            replay->arrive(trace[next], trace[next].arrivalUs);
            ++next;
        }
        replay->play(nowUs);
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    const double cpu = threadCpuSeconds() - cpuBefore;

    std::printf("strategy=%s\tarrivals=%zu\tplayed=%llu\tconcealed=%llu\tcpu_s=%.3f\tvoice_s=%u\n", strategy.c_str(),
                trace.size(), static_cast<unsigned long long>(replay->framesPlayed()),
                static_cast<unsigned long long>(replay->framesConcealed()), cpu, seconds);
    return 0;
}
