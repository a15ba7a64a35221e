#include "BenchProbe.h"

#include <algorithm>

#include "StrategyView.h"
#include "media/RawMediaPacket.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"

namespace vexlink::bench {

namespace {

void raise(std::atomic<int64_t>& value, int64_t candidate) {
    if (candidate > value.load(std::memory_order_relaxed)) value.store(candidate, std::memory_order_relaxed);
}

}  // namespace

BenchProbe::BenchProbe(const StrategyView& view, size_t maxFrames)
    : view_(view),
      arrivalUs_(maxFrames, 0),
      // Copies of a frame may be played again; a strategy that plays every
      // copy of every frame still fits.
      played_(new PlayedFrame[2 * maxFrames + 64]),
      playedRoom_(2 * maxFrames + 64),
      control_(new ControlSample[maxFrames / 50 + 64]),
      controlRoom_(maxFrames / 50 + 64) {}

void BenchProbe::onArrival(const VoicePacket& packet, uint64_t nowUs) { arrived(packet.rawSequence, nowUs); }

void BenchProbe::onRawArrival(const RawMediaPacket& packet, uint64_t nowUs) { arrived(packet.sequence, nowUs); }

void BenchProbe::arrived(uint16_t rawSequence, uint64_t nowUs) {
    const uint32_t index = unwrapSequence(rawSequence, lastArrival_);
    lastArrival_ = index;
    if (index < arrivalUs_.size()) {
        if (arrivalUs_[index] == 0) arrivalUs_[index] = nowUs;
        raise(maxArrived_, index);
    } else {
        ++outOfRange_;
    }
    arrivals_.fetch_add(1);
    notify();
}

void BenchProbe::onFramePlayed(uint16_t rawSequence, uint32_t, uint64_t outputSample, uint64_t nowUs) {
    const uint32_t index = unwrapSequence(rawSequence, lastPlayed_);
    lastPlayed_ = index;
    const size_t count = playedCount_.load(std::memory_order_relaxed);
    if (count < playedRoom_) {
        played_[count] = PlayedFrame{index, outputSample, nowUs};
        playedCount_.store(count + 1);
    } else {
        ++logFull_;
    }
    if (index >= arrivalUs_.size()) ++outOfRangePlayed_;
    lastCounters_ = view_.counters();
    if (nowUs >= nextControlUs_ && controlCount_ < controlRoom_) {
        ControlSample s{nowUs, 0.0, 0.0};
        if (view_.control(s.targetMs, s.ratioPpm)) control_[controlCount_++] = s;
        nextControlUs_ = nowUs + 1000000;
    }
    raise(maxPlayed_, index);
    lastPlayUs_.store(nowUs);
    notify();
}

void BenchProbe::notify() {
    { std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

bool BenchProbe::waitDrained(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const int64_t arrived = maxArrived_.load();
        if (arrived >= 0 && maxPlayed_.load() >= arrived) return true;
        const uint64_t last = lastPlayUs_.load();
        if (last != 0 && monotonicUs() - last > static_cast<uint64_t>(quiet.count()) * 1000u) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Woken by every arrival and play, and at least every 100 ms to see
        // the quiet time pass.
        changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
}

std::vector<PlayedFrame> BenchProbe::played() const {
    return std::vector<PlayedFrame>(played_.get(), played_.get() + playedCount_.load());
}

std::vector<BenchProbe::ControlSample> BenchProbe::controlSamples() const {
    return std::vector<ControlSample>(control_.get(), control_.get() + controlCount_);
}

}  // namespace vexlink::bench
