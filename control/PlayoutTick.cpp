#include "control/PlayoutTick.h"

#include <cstring>

#include "audio/PcmLevel.h"
#include "control/FrameSink.h"
#include "control/LatencyProbe.h"
#include "control/PlayoutQueue.h"
#include "media/ReceptionStats.h"
#include "platform/Clock.h"
#include "settings/Settings.h"

namespace vexlink {

namespace {

// Single-writer increment: a relaxed load and store, no locked instruction.
inline void bump(std::atomic<uint32_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

constexpr int16_t kSilentFrame[kFrameSamples] = {};

}  // namespace

PlayoutTick::PlayoutTick(PlayoutQueue& queue, FrameSink& sink, ReceptionStats& stats)
    : queue_(queue), sink_(sink), stats_(stats) {}

PlayoutTick::~PlayoutTick() = default;

void PlayoutTick::releaseLastFrame() {
    lastPlayed_.reset();
    repeatCount_ = 0;
    outputSamples_ = 0;
}

void PlayoutTick::tick() {
    const int32_t depth = queue_.size();
    if (depth > maxQueueDepth_.load(std::memory_order_relaxed)) {
        maxQueueDepth_.store(depth, std::memory_order_relaxed);
    }

    std::unique_ptr<VoicePacket> packet = queue_.popFront();
    if (packet) {
        playFresh(std::move(packet));
    } else if (lastPlayed_) {
        playRepeat();
    } else if (fillWhileEmpty_) {
        sink_.playFrame(kSilentFrame);
    }
    // Otherwise nothing played yet in this connection: the devices get
    // nothing at all.
}

void PlayoutTick::playFresh(std::unique_ptr<VoicePacket> packet) {
    // The fresh frame is played straight from its record, no copy.
    sink_.playFrame(packet->samples);
    if (probe_ != nullptr) {
        const uint64_t nowUs = monotonicUs();
        probe_->onWritten(*packet, nowUs);
        probe_->onFramePlayed(packet->rawSequence, packet->timestamp, outputSamples_, nowUs);
    }
    outputSamples_ += kFrameSamples;
    lastPlayed_ = std::move(packet);  // the previous frame is deleted here
    repeatCount_ = 0;
    bump(freshFrames_);

    ++freshRun_;
    if (freshRun_ > kFreshRunBeforeTrim && queue_.size() > Settings::getBufferSize()) {
        freshRun_ = 0;
        std::unique_ptr<VoicePacket> discarded = queue_.popFront();
        if (discarded) {
            ++stats_.dropped;
            bump(droppedFrames_);
        }
    }
    status_.framePlayed(lastPlayed_->samples, false, waitMs());
}

void PlayoutTick::playRepeat() {
    std::memcpy(repeatFrame_, lastPlayed_->samples, sizeof repeatFrame_);
    if (repeatCount_ > 0) {
        double gain = static_cast<double>(kFadeSteps - repeatCount_) / static_cast<double>(kFadeSteps);
        if (gain < 0.0) gain = 0.0;
        scalePcm(repeatFrame_, repeatFrame_, kFrameSamples, gain);
    }
    sink_.playFrame(repeatFrame_);
    outputSamples_ += kFrameSamples;
    // Saturates long before it could wrap: past 16 the gain stays 0.
    if (repeatCount_ < kFadeSteps + 1) ++repeatCount_;
    freshRun_ = 0;
    bump(concealedTicks_);
    status_.framePlayed(repeatFrame_, true, waitMs());
}

int32_t PlayoutTick::waitMs() const { return queue_.size() * kFrameMs + kFrameMs / 2; }

PlayoutFigures PlayoutTick::figures() const {
    PlayoutFigures f;
    f.freshFrames = freshFrames_.load(std::memory_order_relaxed);
    f.concealedTicks = concealedTicks_.load(std::memory_order_relaxed);
    f.droppedFrames = droppedFrames_.load(std::memory_order_relaxed);
    f.maxQueueDepth = maxQueueDepth_.load(std::memory_order_relaxed);
    return f;
}

}  // namespace vexlink
