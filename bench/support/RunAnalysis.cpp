#include "RunAnalysis.h"

#include <algorithm>
#include <cmath>

#include "ClickDetector.h"

namespace vexlink::bench {

namespace {

constexpr uint64_t kFrame = 960;
constexpr uint64_t kRate = 48000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Percentiles percentiles(const std::vector<double>& ms) {
    Percentiles p;
    p.count = ms.size();
    p.p50 = percentile(ms, 0.50);
    p.p99 = percentile(ms, 0.99);
    return p;
}

// SNR of output[at, at + n) against reference[refAt, refAt + n), held in
// [-10, 35] dB; NaN when the reference is out of range or near silence.
double segmentSnr(const std::vector<int16_t>& output, uint64_t at, const std::vector<int16_t>& reference,
                  uint64_t refAt, uint64_t n) {
    if (n == 0 || at + n > output.size() || refAt + n > reference.size()) return kNaN;
    double signal = 0.0, error = 0.0;
    for (uint64_t i = 0; i < n; ++i) {
        const double r = reference[refAt + i];
        const double e = r - output[at + i];
        signal += r * r;
        error += e * e;
    }
    if (signal < static_cast<double>(n) * 50.0 * 50.0) return kNaN;
    if (error == 0.0) return 35.0;
    return std::clamp(10.0 * std::log10(signal / error), -10.0, 35.0);
}

struct Mean {
    double sum = 0.0;
    size_t count = 0;
    void add(double v) {
        if (std::isnan(v)) return;
        sum += v;
        ++count;
    }
    double value() const { return count == 0 ? kNaN : sum / static_cast<double>(count); }
};

}  // namespace

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return kNaN;
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

RunFigures analyseRun(const AnalysisInput& in) {
    RunFigures f;
    const std::vector<SentFrame>& sent = *in.sent;
    const std::vector<PlayedFrame>& played = *in.played;
    const std::vector<int16_t>& output = *in.output;
    f.played = played.size();

    std::vector<bool> isolated(sent.size(), false);
    for (size_t i = 1; i + 1 < sent.size(); ++i) {
        isolated[i] = sent[i].dropped && !sent[i - 1].dropped && !sent[i + 1].dropped;
        if (isolated[i]) ++f.isolatedLosses;
    }
    if (played.empty()) return f;

    // Order, and the latencies of each frame's first play.
    std::vector<bool> heard(sent.size(), false);
    std::vector<double> sendWrite, outside, arrivalWrite;
    std::vector<std::pair<double, double>> byMediaMs;  // (media ms, send -> write ms)
    int64_t highest = -1;
    const uint64_t first = played.front().outputSample;
    for (size_t k = 0; k < played.size(); ++k) {
        const PlayedFrame& p = played[k];
        if (k > 0 && p.outputSample >= first + 10 * kRate) {
            const PlayedFrame& q = played[k - 1];
            const uint64_t gap = p.outputSample - q.outputSample;
            if (p.index != q.index + 1 || gap < kFrame / 2 || gap > kFrame * 3 / 2) ++f.slipsAfter10s;
        }
        if (p.index < heard.size() && heard[p.index]) {
            ++f.playedTwice;
            continue;
        }
        if (static_cast<int64_t>(p.index) < highest) ++f.outOfOrder;
        highest = std::max<int64_t>(highest, p.index);
        if (p.index >= sent.size()) continue;
        heard[p.index] = true;
        const double mediaMs = p.index * in.frameMediaMs;
        if (sent[p.index].firstSendUs >= 0) {
            const double ms = (static_cast<double>(p.nowUs) - static_cast<double>(sent[p.index].firstSendUs)) / 1000.0;
            sendWrite.push_back(ms);
            byMediaMs.emplace_back(mediaMs, ms);
            const bool inEvent = in.excludeEvent && mediaMs >= static_cast<double>(in.eventFromMs) &&
                                 mediaMs < static_cast<double>(in.eventToMs);
            if (!inEvent) outside.push_back(ms);
        }
        const uint64_t arrived = p.index < in.firstArrivalUs->size() ? (*in.firstArrivalUs)[p.index] : 0;
        if (arrived != 0) arrivalWrite.push_back((static_cast<double>(p.nowUs) - static_cast<double>(arrived)) / 1000.0);
    }
    f.sendWrite = percentiles(sendWrite);
    f.sendWriteOutside = percentiles(outside);
    f.arrivalWrite = percentiles(arrivalWrite);

    // The delay over media time.
    auto p50Between = [&](double fromMs, double toMs, size_t atLeast) {
        std::vector<double> v;
        for (const auto& [media, ms] : byMediaMs) {
            if (media >= fromMs && media < toMs) v.push_back(ms);
        }
        return v.size() >= atLeast ? percentile(v, 0.5) : kNaN;
    };
    double lastMediaMs = 0.0;
    for (const auto& entry : byMediaMs) lastMediaMs = std::max(lastMediaMs, entry.first);
    for (double from = 0.0; from <= lastMediaMs; from += 5000.0) f.p50Per5s.push_back(p50Between(from, from + 5000.0, 1));
    if (in.eventToMs >= 0) {
        f.baselineP50 = p50Between(2000.0, static_cast<double>(in.eventFromMs), 10);
        std::vector<double> windows;
        for (double from = static_cast<double>(in.eventToMs); from + 1000.0 <= lastMediaMs; from += 1000.0) {
            windows.push_back(p50Between(from, from + 1000.0, 10));
        }
        f.recoverySeconds = windows.empty() ? kNaN : RunFigures::kNever;
        for (size_t j = windows.size(); j-- > 0;) {
            if (std::isnan(windows[j]) || std::isnan(f.baselineP50) || std::fabs(windows[j] - f.baselineP50) > 5.0) break;
            f.recoverySeconds = static_cast<double>(j);
        }
    }

    // The rate of playout after 10 s of output.
    const PlayedFrame* from = nullptr;
    for (const PlayedFrame& p : played) {
        if (p.outputSample >= first + 10 * kRate) {
            from = &p;
            break;
        }
    }
    const PlayedFrame& to = played.back();
    if (from != nullptr && to.outputSample >= from->outputSample + 5 * kRate && to.index > from->index) {
        const double media = static_cast<double>(to.index - from->index) * kFrame;
        f.ratePpm = (media / static_cast<double>(to.outputSample - from->outputSample) - 1.0) * 1e6;
    }

    // Clicks and SNR over the output the real frames span.
    const uint64_t end = std::min<uint64_t>(played.back().outputSample + kFrame, output.size());
    if (end > first) f.spanSeconds = static_cast<double>(end - first) / kRate;
    if (end > first + kFrame) {
        const std::vector<size_t> clicks = ClickDetector().find(output.data() + first + kFrame, end - first - kFrame);
        f.clicks = clicks.size();
        for (size_t at : clicks) f.clicksAfter10s += at + kFrame >= 10 * kRate ? 1 : 0;
    }
    Mean real, concealed;
    for (size_t k = 0; k < played.size(); ++k) {
        const PlayedFrame& p = played[k];
        const uint64_t next = k + 1 < played.size() ? std::max(played[k + 1].outputSample, p.outputSample) : end;
        const uint64_t refAt = static_cast<uint64_t>(p.index) * kFrame;
        real.add(segmentSnr(output, p.outputSample, *in.reference, refAt, std::min(kFrame, next - p.outputSample)));
        for (uint64_t at = p.outputSample + kFrame; at < next; at += kFrame) {
            // Resampling spaces frames a few samples off 960: such slivers
            // are not concealment.
            const uint64_t n = std::min(kFrame, next - at);
            if (n < kFrame / 2) continue;
            const double snr = segmentSnr(output, at, *in.reference, refAt + (at - p.outputSample), n);
            concealed.add(snr);
            const uint64_t missing = p.index + (at - p.outputSample) / kFrame;
            if (missing < isolated.size() && isolated[missing] && snr >= 10.0) ++f.isolatedRecovered;
        }
    }
    f.snrReal = real.value();
    f.snrConcealed = concealed.value();
    f.realSegments = real.count;
    f.concealedSegments = concealed.count;
    return f;
}

}  // namespace vexlink::bench
