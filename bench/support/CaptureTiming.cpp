#include "CaptureTiming.h"

#include <algorithm>
#include <cstring>

namespace vexlink::bench {

namespace {

constexpr size_t kFrame = 960;
constexpr int64_t kSearch = 48000 * 2;  // how far a lost cycle may move the shift

bool sameAt(const std::vector<int16_t>& output, size_t at, const std::vector<int16_t>& captured, int64_t shift) {
    const int64_t c = static_cast<int64_t>(at) + shift;
    const size_t n = std::min(kFrame, output.size() - at);
    if (c < 0 || static_cast<size_t>(c) + n > captured.size()) return false;
    return std::memcmp(output.data() + at, captured.data() + c, n * sizeof(int16_t)) == 0;
}

// The shift nearest `around` at which the frame at `at` is in the capture,
// or false.
bool search(const std::vector<int16_t>& output, size_t at, const std::vector<int16_t>& captured, int64_t around,
            int64_t span, int64_t& shift) {
    for (int64_t d = 0; d <= span; ++d) {
        for (const int64_t s : {around - d, around + d}) {
            if (sameAt(output, at, captured, s)) {
                shift = s;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

CaptureFigures timeCapture(const CaptureInput& in) {
    CaptureFigures f;
    const std::vector<int16_t>& output = *in.output;
    const std::vector<int16_t>& captured = *in.captured;
    const std::vector<PipeWireCapture::Buffer>& buffers = *in.buffers;
    std::vector<bool> seen(in.sent->size(), false);
    std::vector<double> ms;
    bool anchored = false;
    int64_t shift = 0;
    for (const PlayedFrame& p : *in.played) {
        if (p.index >= seen.size() || seen[p.index] || p.outputSample >= output.size()) continue;
        seen[p.index] = true;
        ++f.frames;
        if (!anchored) {
            // The capture began before the node's first cycle or after it.
            anchored = search(output, p.outputSample, captured, 0,
                              static_cast<int64_t>(std::max(captured.size(), output.size())), shift);
            if (!anchored) continue;
        } else if (!sameAt(output, p.outputSample, captured, shift) &&
                   !search(output, p.outputSample, captured, shift, kSearch, shift)) {
            continue;
        }
        ++f.located;
        const auto c = static_cast<uint64_t>(static_cast<int64_t>(p.outputSample) + shift);
        auto b = std::upper_bound(buffers.begin(), buffers.end(), c,
                                  [](uint64_t at, const PipeWireCapture::Buffer& x) { return at < x.first; });
        if (b == buffers.begin()) continue;
        --b;
        const int64_t sentUs = (*in.sent)[p.index].firstSendUs;
        // The capture's stream reaches the sample its place in the buffer after the buffer came.
        const double heardUs = static_cast<double>(b->heardUs) + static_cast<double>(c - b->first) * 1e6 / 48000.0;
        if (sentUs >= 0) ms.push_back((heardUs - static_cast<double>(sentUs)) / 1000.0);
    }
    f.sendCapture.count = ms.size();
    f.sendCapture.p50 = percentile(ms, 0.5);
    f.sendCapture.p99 = percentile(ms, 0.99);
    return f;
}

}  // namespace vexlink::bench
