// What the status line costs: publishing one played frame's figures (level
// pass over 960 samples, window, atomics) on the timer thread, and one
// redraw's text on the status thread.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "app/StatusLine.h"
#include "audio/AudioFormat.h"
#include "control/PlayoutStatusBoard.h"

namespace vexlink {
namespace {

void FramePlayed(benchmark::State& state) {
    std::vector<int16_t> frame(kFrameSamples);
    for (int i = 0; i < kFrameSamples; ++i) frame[size_t(i)] = int16_t(12000 * std::sin(i * 0.13));
    PlayoutStatusBoard board;
    int32_t delay = 0;
    for (auto _ : state) {
        board.framePlayed(frame.data(), (delay & 7) == 0, delay & 63);
        ++delay;
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(board.snapshot());
}

void FormatLine(benchmark::State& state) {
    const PlayoutStatus before{1000, 30, 2, 0, 0};
    PlayoutStatus now{1250, 41, 3, 9000, 30};
    char text[StatusLine::kTextCapacity];
    for (auto _ : state) {
        ++now.peakLevel;
        benchmark::DoNotOptimize(StatusLine::format(text, sizeof text, now, before));
    }
}

BENCHMARK(FramePlayed)->Unit(benchmark::kNanosecond);
BENCHMARK(FormatLine)->Unit(benchmark::kNanosecond);

}  // namespace
}  // namespace vexlink

BENCHMARK_MAIN();
