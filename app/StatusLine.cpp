#include "app/StatusLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/ConsoleWriter.h"

namespace vexlink {

namespace {

constexpr double kFullScale = 32767.0;
constexpr int32_t kLargestDelayMs = 9999;  // four digits keep the line's width

// The share of `part` in `whole` as "%5.1f%%", or dashes when nothing was
// played in the window.
void formatShare(char (&out)[8], uint32_t part, uint32_t whole) {
    if (whole == 0) {
        std::snprintf(out, sizeof out, "   --%%");
        return;
    }
    const double share = std::min(100.0, 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    std::snprintf(out, sizeof out, "%5.1f%%", share);
}

}  // namespace

StatusLine::~StatusLine() {
    stop();
    join();
}

void StatusLine::attach(Source source, ConsoleWriter* console) {
    source_ = std::move(source);
    console_ = console;
    windowCount_ = 0;
    windowNext_ = 0;
}

bool StatusLine::start(Source source, ConsoleWriter* console) {
    if (started_) return false;
    attach(std::move(source), console);
    stopPosted_ = false;
    started_ = createThread(&StatusLine::threadMain, this, &thread_);
    return started_;
}

void StatusLine::stop() {
    if (!started_ || stopPosted_) return;
    stopPosted_ = true;
    stop_.post();
}

void StatusLine::join() {
    if (!started_) return;
    joinThread(thread_);
    started_ = false;
}

void StatusLine::threadMain(void* self) { static_cast<StatusLine*>(self)->run(); }

void StatusLine::run() {
    while (!stop_.waitFor(kPeriodMs)) update();
}

void StatusLine::update() {
    PlayoutStatus now;
    if (!source_ || !source_(now)) {
        // The next connection's shares start from its own figures.
        windowCount_ = 0;
        windowNext_ = 0;
        return;
    }
    constexpr int kSlots = kWindowUpdates + 1;
    window_[windowNext_] = now;
    windowNext_ = (windowNext_ + 1) % kSlots;
    windowCount_ = std::min(windowCount_ + 1, kSlots);
    const PlayoutStatus& before = window_[(windowNext_ + kSlots - windowCount_) % kSlots];

    char text[kTextCapacity];
    const size_t length = format(text, sizeof text, now, before);
    ConsoleWriter& console = console_ != nullptr ? *console_ : ConsoleWriter::instance();
    console.showStatus(text, length);
}

int StatusLine::meterCells(int32_t peakLevel) {
    if (peakLevel <= 0) return 0;
    const double db = 20.0 * std::log10(static_cast<double>(peakLevel) / kFullScale);
    const long cells = std::lround((db - kMeterFloorDb) * kMeterCells / -kMeterFloorDb);
    return static_cast<int>(std::clamp(cells, 0L, static_cast<long>(kMeterCells)));
}

size_t StatusLine::format(char* out, size_t size, const PlayoutStatus& now, const PlayoutStatus& before) {
    if (size == 0) return 0;
    char meter[kMeterCells + 1];
    const int lit = meterCells(now.peakLevel);
    for (int i = 0; i < kMeterCells; ++i) meter[i] = i < lit ? '#' : '-';
    meter[kMeterCells] = '\0';

    char level[8];
    if (now.peakLevel > 0) {
        const double db = 20.0 * std::log10(std::min(now.peakLevel, 32767) / kFullScale);
        std::snprintf(level, sizeof level, "%4ld", std::lround(db));
    } else {
        std::snprintf(level, sizeof level, "-inf");
    }

    // Counters only grow (wrapping), so their differences are the window's.
    const uint32_t played = now.playedFrames - before.playedFrames;
    char concealed[8];
    char late[8];
    formatShare(concealed, now.concealedFrames - before.concealedFrames, played);
    formatShare(late, now.lateFrames - before.lateFrames, played);

    const int n = std::snprintf(out, size, "phone [%s] %s dB  delay %4d ms  concealed %s  late %s", meter, level,
                                static_cast<int>(std::clamp(now.delayMs, 0, kLargestDelayMs)), concealed, late);
    return n > 0 ? std::min(static_cast<size_t>(n), size - 1) : 0;
}

}  // namespace vexlink
