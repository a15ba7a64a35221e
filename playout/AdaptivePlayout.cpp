#include "playout/AdaptivePlayout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/AudioFormat.h"
#include "audio/PcmLevel.h"

namespace vexlink {

namespace {

constexpr double kUsPerSample = 1e6 / kSampleRate;
// A consumer this far behind its own schedule stopped pulling for a while;
// its schedule moves on rather than taking the pause for a slow clock.
constexpr double kPullGapUs = 100000.0;

int64_t floorDiv(int64_t a, int64_t b) {
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

AdaptivePlayout::AdaptivePlayout(const PlayoutConfig& config)
    : config_(config),
      arrivals_(kUsPerSample),
      pulls_(kUsPerSample),
      delays_(config),
      rate_(config.maxRatioOffset),
      decisions_(config),
      codec_(decoder_) {
    startSession(4);
}

void AdaptivePlayout::startSession(int32_t serverVersion) {
    gainCodes_ = serverVersion >= 4;
    unwrapper_.reset();
    buffer_.reset(0);
    history_.reset();
    arrivals_.reset();
    pulls_.reset();
    phases_.reset();
    delays_.reset();
    rate_.reset();
    fifo_.reset(0);
    resampler_.reset();
    decoder_.reset();
    fade_.reset();
    codec_.reset();
    counters_ = PlayoutCounters{};
    anchored_ = false;
    started_ = false;
    firstFrame_ = nextFrame_ = position_ = pulled_ = 0;
    underrunFrom_ = -1;
    inserted_ = 0;
    insertDue_ = false;
    restartFrame_ = 0;
    lastGain_ = 5;
    hasStray_ = false;
    strayRun_ = 0;
    pendingHead_ = pendingCount_ = 0;
    clocksApart_ = false;
    nudge_ = correction_ = nextPullExactUs_ = 0.0;
    nextPullUs_ = walkFromUs_ = 0;
    followRun_ = 0;
}

// ---- packets in ----

void AdaptivePlayout::insert(const RawMediaPacket& packet, uint64_t arrivalUs) {
    const bool first = unwrapper_.empty();
    const int64_t newestBefore = unwrapper_.newest();
    const int64_t sequence = unwrapper_.unwrap(packet.sequence);
    const bool newest = first || sequence > newestBefore;
    const auto arrival = static_cast<int64_t>(arrivalUs);

    if (!anchored_) {  // the first packet of the session sets the schedule
        anchored_ = true;
        firstFrame_ = nextFrame_ = sequence;
        position_ = sequence * kFrameSamples;
        buffer_.reset(sequence);
        buffer_.insert(sequence, packet);
        feed(sequence, arrival, 0.0);
        return;
    }
    if (hasStray_ && sequence == stray_.sequence) {
        ++counters_.discardedDuplicate;
        return;
    }
    const double lateness = arrivals_.lateness(sequence * kFrameSamples, arrival);
    if (!started_ && sequence < nextFrame_ && buffer_.lowerBase(sequence)) {
        // An older packet before playout began: playout begins with it.
        firstFrame_ = nextFrame_ = sequence;
        position_ = sequence * kFrameSamples;
    }
    switch (buffer_.insert(sequence, packet)) {
        case PacketBuffer::Insert::Stored:
            if (newest) strayRun_ = 0;
            feed(sequence, arrival, lateness);
            return;
        case PacketBuffer::Insert::Duplicate:
            ++counters_.discardedDuplicate;
            return;
        case PacketBuffer::Insert::Behind:
            // A frame played, or one whose packet already came too late: a
            // copy, which tells nothing of the jitter.
            if (const FrameHistory::Fate fate = history_.fate(sequence);
                fate == FrameHistory::Fate::Played || fate == FrameHistory::Fate::Late) {
                ++counters_.discardedDuplicate;
                return;
            }
            // Its delay is jitter unless it is a stall's backlog; the schedule
            // takes only packets in time (a block of backlog alone would
            // bend the clock's slope).
            if (decisions_.feedsDelay(true, lateness, delays_.allowanceUs())) {
                delays_.onPacketDelay(std::llround(lateness), static_cast<uint64_t>(arrival));
            }
            if (newest) {
                keepStray(sequence, packet, arrival, lateness, true);
            } else {
                discardLate(sequence);
            }
            return;
        case PacketBuffer::Insert::Beyond:
            if (newest) {
                keepStray(sequence, packet, arrival, lateness, false);
            } else {
                ++counters_.discardedOverflow;
            }
            return;
    }
}

void AdaptivePlayout::feed(int64_t sequence, int64_t arrivalUs, double latenessUs) {
    delays_.onPacketDelay(std::llround(latenessUs), static_cast<uint64_t>(arrivalUs));
    arrivals_.add(sequence * kFrameSamples, arrivalUs);
}

// The newest packet came after its turn or beyond the window: it is either
// a straggler (the rest of the stream is, or soon will be, in the window) or
// the first of a stream that has moved (the sender paused, or restarted its
// numbering). It waits for the next pull to tell.
void AdaptivePlayout::keepStray(int64_t sequence, const RawMediaPacket& packet, int64_t arrivalUs, double latenessUs,
                                bool behind) {
    if (hasStray_) dropStray();
    hasStray_ = true;
    ++strayRun_;
    stray_.sequence = sequence;
    stray_.arrivalUs = arrivalUs;
    stray_.latenessUs = latenessUs;
    stray_.behind = behind;
    stray_.packet.sequence = packet.sequence;
    stray_.packet.timestamp = packet.timestamp;
    stray_.packet.gainCode = packet.gainCode;
    stray_.packet.length = std::clamp(packet.length, int32_t{0}, kMaxPacketPayload);
    std::memcpy(stray_.packet.payload, packet.payload, static_cast<size_t>(stray_.packet.length));
}

void AdaptivePlayout::dropStray() {
    hasStray_ = false;
    if (stray_.behind) {
        discardLate(stray_.sequence);
    } else {
        ++counters_.discardedOverflow;
    }
}

void AdaptivePlayout::discardLate(int64_t sequence) {
    ++counters_.discardedLate;
    switch (history_.fate(sequence)) {
        case FrameHistory::Fate::Lost:
            --counters_.concealedLost;
            break;
        case FrameHistory::Fate::Underrun:
            --counters_.concealedUnderrun;
            break;
        default:
            return;
    }
    ++counters_.concealedLate;
    history_.record(sequence, FrameHistory::Fate::Late);
}

void AdaptivePlayout::resolveStray(int64_t nowUs, double target) {
    if (!hasStray_) return;
    switch (decisions_.stray(buffer_.count() > 0, stray_.behind, nowUs - stray_.arrivalUs, stray_.latenessUs,
                             strayRun_)) {
        case DecisionLogic::Stray::Wait:
            return;
        case DecisionLogic::Stray::Discard:
            dropStray();
            return;
        case DecisionLogic::Stray::Reanchor:
            break;
    }
    // The sender's timeline moved: the schedule moves with it so this packet
    // is on time, and playout restarts early enough before it to sit at the
    // target. What is concealed meanwhile continues the concealment.
    const int64_t sequence = stray_.sequence;
    restartFrame_ = sequence;
    arrivals_.shift(arrivals_.lateness(sequence * kFrameSamples, stray_.arrivalUs));
    hasStray_ = false;
    strayRun_ = 0;
    underrunFrom_ = -1;
    ++counters_.reanchors;
    buffer_.reset(sequence);
    buffer_.insert(sequence, stray_.packet);
    if (!started_) {
        firstFrame_ = nextFrame_ = sequence;
        position_ = sequence * kFrameSamples;
        return;
    }
    const double delay = arrivals_.unitsAt(nowUs) + kFrameSamples - static_cast<double>(sequence * kFrameSamples);
    const auto lead = static_cast<int64_t>(std::max(0.0, std::ceil(target - delay)));
    restartAt(sequence * kFrameSamples - lead);
}

void AdaptivePlayout::restartAt(int64_t mediaPosition) {
    nextFrame_ = floorDiv(mediaPosition, kFrameSamples);
    if (!buffer_.lowerBase(nextFrame_)) nextFrame_ = buffer_.base();
    position_ = std::max(mediaPosition, nextFrame_ * kFrameSamples);
    inserted_ = 0;
    insertDue_ = false;
    fifo_.reset(nextFrame_ * kFrameSamples);
    resampler_.reset();
    phases_.reset();  // a moved schedule puts the pulls elsewhere between packets
    walkFromUs_ = 0;
    pendingCount_ = 0;
}

void AdaptivePlayout::flush(int64_t samples) {
    ++counters_.flushes;
    underrunFrom_ = -1;
    const int64_t target = position_ + samples;
    if (target + FractionalResampler::kHalfTaps < fifo_.end()) {
        position_ = target;  // within what is decoded already
    } else {
        const int64_t frame = floorDiv(target - inserted_, kFrameSamples);
        for (int64_t q = nextFrame_; q < frame && q < nextFrame_ + PacketBuffer::kCapacity; ++q) {
            if (buffer_.find(q) != nullptr) history_.record(q, FrameHistory::Fate::Skipped);
        }
        counters_.discardedFlush += static_cast<uint64_t>(buffer_.advanceTo(frame));
        nextFrame_ = frame;
        position_ = target;
        fifo_.reset(frame * kFrameSamples + inserted_);
    }
    insertDue_ = false;
    resampler_.reset();
}

// ---- samples out ----

double AdaptivePlayout::reachedAt(int64_t nowUs) const { return arrivals_.unitsAt(nowUs) + kFrameSamples; }

double AdaptivePlayout::delayAt(int64_t nowUs) const {
    const double media = static_cast<double>(position_ - inserted_) + resampler_.phaseFraction();
    return reachedAt(nowUs) - media;
}

double AdaptivePlayout::targetAt(int32_t samples, double reached) const {
    // Clocks apart walk the pulls through every phase, unless they follow.
    return rate_.snapped() || pullsFollow() ? neededAt(samples, reached)
                                            : decisions_.target(samples, PullPhases::anySlack(allowanceSamples()));
}

double AdaptivePlayout::neededAt(int32_t samples, double reached) const {
    return decisions_.target(samples,
                             phases_.worstSlack(reached, allowanceSamples(), pullsFollow() ? kPhaseTolerance : 0.0));
}

double AdaptivePlayout::allowanceSamples() const { return decisions_.allowanceSamples(delays_.allowanceUs()); }

void AdaptivePlayout::observePull(int64_t nowUs) {
    if (!pulls_.empty()) {
        const double late = pulls_.lateness(pulled_, nowUs);
        if (late > kPullGapUs) pulls_.shift(late);
    }
    pulls_.add(pulled_, nowUs);
}

// The sender's clock is known to run apart: until now the schedule ran at
// the nominal rate, so the packets seemed to come later and later (by up
// to the offset's window at the clocks' difference) and the jitter
// allowance learnt that drift as jitter; and the phases recorded against
// the old slope are void where the pulls follow the packets.
void AdaptivePlayout::onClocksApart(int64_t nowUs) {
    const double rateOffset = arrivals_.rate() - 1.0;
    constexpr double kWindowUs =
        (ScheduleEstimator::kWindowBlocks + 1) * static_cast<double>(ScheduleEstimator::kBlock) * kUsPerSample;
    delays_.discount(static_cast<int32_t>(std::abs(rateOffset) * kWindowUs));
    if (!pullsFollow()) return;
    phases_.reset();
    // The pulls came a frame apart at the nominal rate since playout began:
    // they have walked against the packets by the clocks' difference.
    const double walked = rateOffset * static_cast<double>(nowUs - walkFromUs_) / kUsPerSample;
    correction_ = -std::clamp(walked, -kFrameSamples / 2.0, kFrameSamples / 2.0);
}

void AdaptivePlayout::trackFollowing(int64_t nowUs) {
    const bool followed = nextPullUs_ != 0 && nowUs == nextPullUs_;
    followRun_ = followed ? std::min(followRun_ + 1, PullPhases::kPulls) : 0;
    if (!followed) nudge_ = 0.0;  // this pull was not moved
}

void AdaptivePlayout::adviseNextPull(int64_t nowUs) {
    // While the clocks are taken as equal the pulls come at the nominal rate.
    if (walkFromUs_ == 0 || !rate_.snapped()) walkFromUs_ = nowUs;
    // Equal clocks: the nominal rate, so a frame is exactly 20 ms.
    const double rate = rate_.snapped() ? 1.0 : arrivals_.rate();
    // Whatever is left of the walk to undo, as fast as the ratio's room
    // beside the clocks' offset allows.
    const double room = std::max(config_.maxRatioOffset - std::abs(rate - 1.0), 0.0) * kFrameSamples * kNudgeShare;
    nudge_ = std::clamp(correction_, -room, room);
    correction_ -= nudge_;
    const double from = followRun_ > 0 ? nextPullExactUs_ : static_cast<double>(nowUs);
    nextPullExactUs_ = from + (kFrameSamples + nudge_) * kUsPerSample / rate;
    nextPullUs_ = std::llround(nextPullExactUs_);
}

int32_t AdaptivePlayout::pull(int16_t* out, int32_t samples, uint64_t nowUs) {
    if (out == nullptr || samples <= 0 || !anchored_) return 0;
    const auto now = static_cast<int64_t>(nowUs);
    trackFollowing(now);
    rate_.observeClocks(arrivals_.rate() / pulls_.rate(), std::hypot(arrivals_.rateMargin(), pulls_.rateMargin()));
    if (!rate_.snapped() && !clocksApart_) onClocksApart(now);
    clocksApart_ = !rate_.snapped();
    resolveStray(now, targetAt(samples, reachedAt(now)));
    const double reached = reachedAt(now);
    const double target = targetAt(samples, reached);
    double delay = delayAt(now);
    if (!started_) {
        const int32_t lead = decisions_.startOffset(delay, target, samples);
        if (lead < 0) return 0;
        started_ = true;
        restartAt(firstFrame_ * kFrameSamples - lead);
        delay = delayAt(now);
    }
    const int64_t skip = decisions_.flushSamples(delay, target);
    if (skip > 0) {
        flush(skip);
        delay = delayAt(now);
    }
    // A frame is inserted only for what the pulls need at their phases now.
    // Once the clocks are known apart the target covers every phase, but the
    // phase walks slowly: the resampler grows the delay in time, where an
    // inserted frame would overshoot it and be played away again.
    if (decisions_.insertFrame(delay, neededAt(samples, reached))) insertDue_ = true;
    phases_.add(reached);
    observePull(now);
    // While the allowance is still being learnt, a delay above the target
    // is kept: at the start under jitter it is the slack the early packets
    // need (the schedule settles on the earliest of them and the excess
    // appears), and it would be gone just before the allowance grows.
    const double excess = delays_.learning() ? std::min(delay - target, 0.0) : delay - target;
    const double ratio = rate_.update(excess);
    // A pull that came later to move its phase reads that much more (less
    // when sooner): it takes the media it would have taken.
    const double pullRatio = nudge_ != 0.0
                                 ? std::clamp(ratio * (1.0 - nudge_ / samples), 1.0 - config_.maxRatioOffset,
                                              1.0 + config_.maxRatioOffset)
                                 : ratio;
    resampler_.setRatio(pullRatio, rate_.landing());
    counters_.targetDelaySamples = static_cast<int32_t>(std::lround(target));
    counters_.currentDelaySamples = static_cast<int32_t>(std::lround(delay));
    counters_.ratio = ratio;
    render(out, samples);
    pulled_ += samples;
    adviseNextPull(now);
    return samples;
}

int64_t AdaptivePlayout::samplesUntilStart(int32_t samples, uint64_t nowUs) const {
    if (!anchored_) return -1;
    if (started_ || samples <= 0) return 0;
    const auto now = static_cast<int64_t>(nowUs);
    const double reached = reachedAt(now);
    const double lead = std::ceil(targetAt(samples, reached) - delayAt(now));
    if (lead <= 0.0) return 0;
    if (!rate_.snapped()) return static_cast<int64_t>(lead);  // the target grows with the delay, sample for sample
    // The target follows the phase: playout can begin, the pull's first
    // `lead` samples before the first frame, or it waits until the first
    // frame (and the one after it, when waiting for redundancy) was due the
    // allowance ago.
    if (lead < samples) return 0;
    const double due = static_cast<double>((firstFrame_ + (decisions_.waitsForRedundancy() ? 2 : 1)) * kFrameSamples) +
                       allowanceSamples();
    return std::max<int64_t>(1, static_cast<int64_t>(std::ceil(due - reached)));
}

void AdaptivePlayout::render(int16_t* out, int32_t samples) {
    for (int32_t done = 0; done < samples;) {
        const int32_t chunk = std::min(samples - done, kFrameSamples);
        const int64_t needed = position_ + resampler_.inputSpan(chunk);
        while (fifo_.end() < needed) produceFrame();
        const double from = static_cast<double>(position_) + resampler_.phaseFraction();
        resampler_.process(fifo_, position_, out + done, chunk);
        reportStarts(from, static_cast<double>(position_) + resampler_.phaseFraction(), done, chunk);
        done += chunk;
    }
    fifo_.discardBefore(position_ - FractionalResampler::kHalfTaps);
}

void AdaptivePlayout::produceFrame() {
    const int64_t frame = nextFrame_;
    const int64_t at = fifo_.end();
    int16_t* out = fifo_.append(kFrameSamples);
    if (insertDue_ && frame >= firstFrame_) {
        // A concealed frame of no media time: the delay grows by a frame.
        insertDue_ = false;
        inserted_ += kFrameSamples;
        ++counters_.framesInserted;
        ++counters_.concealedUnderrun;
        if (config_.concealment == Concealment::Codec) {
            codec_.conceal(nullptr, out);
            if (gainCodes_) applyGainCode(out, kFrameSamples, lastGain_);
        } else {
            fade_.conceal(out);
        }
        return;
    }
    PlayoutObserver::Frame kind = PlayoutObserver::Frame::Silent;
    uint32_t timestamp = 0;
    if (frame < firstFrame_) {
        std::fill(out, out + kFrameSamples, int16_t{0});
    } else if (const RawMediaPacket* packet = buffer_.find(frame)) {
        playPacket(frame, *packet, out);
        kind = PlayoutObserver::Frame::Played;
        timestamp = packet->timestamp;
    } else {
        concealFrame(frame, out);
        kind = PlayoutObserver::Frame::Concealed;
    }
    buffer_.advanceTo(frame + 1);
    nextFrame_ = frame + 1;
    if (pendingCount_ == kPendingStarts) {  // never in use: frames are reported within a pull or two
        pendingHead_ = (pendingHead_ + 1) % kPendingStarts;
        --pendingCount_;
    }
    pending_[(pendingHead_ + pendingCount_++) % kPendingStarts] = Start{frame, at, kind, timestamp};
}

void AdaptivePlayout::playPacket(int64_t frame, const RawMediaPacket& packet, int16_t* out) {
    if (config_.concealment == Concealment::Codec) {
        codec_.decode(packet, out);
    } else {
        decoder_.decode(packet.payload, packet.length, out);
    }
    if (gainCodes_) {
        applyGainCode(out, kFrameSamples, packet.gainCode);
        lastGain_ = packet.gainCode;
    }
    if (config_.concealment == Concealment::Fade) fade_.onFresh(out);
    ++counters_.framesPlayed;
    history_.record(frame, FrameHistory::Fate::Played);
    // Underruns followed by a frame that plays were losses.
    if (underrunFrom_ >= 0) {
        for (int64_t q = std::max(underrunFrom_, frame - FrameHistory::kFrames); q < frame; ++q) {
            if (history_.fate(q) != FrameHistory::Fate::Underrun) continue;
            history_.record(q, FrameHistory::Fate::Lost);
            --counters_.concealedUnderrun;
            ++counters_.concealedLost;
        }
        underrunFrom_ = -1;
    }
}

void AdaptivePlayout::concealFrame(int64_t frame, int16_t* out) {
    if (config_.concealment == Concealment::Codec) {
        const RawMediaPacket* next = buffer_.find(frame + 1);
        if (codec_.conceal(next, out)) ++counters_.framesFromRedundancy;
        if (gainCodes_) applyGainCode(out, kFrameSamples, next != nullptr ? next->gainCode : lastGain_);
    } else {
        fade_.conceal(out);
    }
    if (frame < restartFrame_) {  // waited through before a restart, not lost
        ++counters_.concealedUnderrun;
        history_.record(frame, FrameHistory::Fate::Underrun);
    } else if (buffer_.count() > 0) {  // later frames wait: this one is missing
        ++counters_.concealedLost;
        history_.record(frame, FrameHistory::Fate::Lost);
    } else {
        ++counters_.concealedUnderrun;
        history_.record(frame, FrameHistory::Fate::Underrun);
        if (underrunFrom_ < 0) underrunFrom_ = frame;
    }
}

void AdaptivePlayout::reportStarts(double from, double to, int32_t offset, int32_t count) {
    while (pendingCount_ > 0) {
        const Start& start = pending_[pendingHead_];
        const auto at = static_cast<double>(start.at);
        if (at >= to) return;
        if (at >= from && observer_ != nullptr) {
            const double into = (at - from) * count / (to - from);
            observer_->onFrameStart(start.frame, start.kind,
                                    offset + std::clamp(static_cast<int32_t>(std::ceil(into)), 0, count - 1),
                                    start.timestamp);
        }
        pendingHead_ = (pendingHead_ + 1) % kPendingStarts;
        --pendingCount_;
    }
}

}  // namespace vexlink
