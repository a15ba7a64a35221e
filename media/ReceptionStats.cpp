#include "media/ReceptionStats.h"

#include <climits>
#include <cmath>

#include "media/RawMediaPacket.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"
#include "platform/PlatformInfo.h"

namespace vexlink {

namespace {

constexpr double kInitialJitterMs = 10.0;
// Smoothing of the interarrival jitter estimate (the RFC 3550 estimator,
// here in milliseconds).
constexpr double kJitterGain = 1.0 / 16.0;
constexpr double kLateDelayFactor = 5.0;

// A hostile sender can push the estimate up to 2^31 ms, where a plain
// conversion to int would be undefined; saturate instead.
int32_t truncateToInt32(double value) {
    if (value >= static_cast<double>(INT32_MAX)) {
        return INT32_MAX;
    }
    if (value <= static_cast<double>(INT32_MIN)) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

}  // namespace

ReceptionStats* ReceptionStats::instance() {
    // Trivially destructible, so it outlives every thread that may still
    // touch it at exit.
    static ReceptionStats stats;
    return &stats;
}

void ReceptionStats::reset() {
    isFirstPacket = true;
    startTime = static_cast<uint32_t>(monotonicMs());
    endTime = 0;
    received = 0;
    dropped = 0;
    missed = 0;
    lastTransit = 0;
    jitter = 0.0;
    maxJitter = 0.0;
    minTransit = 0;
    targetDelay = 0;
    lateRun = 0;
    foreignDatagrams = 0;
    playout = PlayoutSummary{};
    // Transit times of an earlier connection compare two other clocks; they
    // must not come back as the minimum of this one.
    transitCount_ = 0;
    transitHead_ = 0;
    wrapCount_ = 0;
    lastSequence_ = 0;
}

uint32_t ReceptionStats::extendSequence(uint16_t rawSequence) {
    const uint32_t sequence = rawSequence + 65536u * wrapCount_;
    if (rawSequence < lastSequence_) {
        ++wrapCount_;
        lastSequence_ = rawSequence;
    } else if (rawSequence > lastSequence_ &&
               static_cast<uint32_t>(rawSequence - lastSequence_) < kSequenceJumpLimit) {
        lastSequence_ = rawSequence;
    }
    return sequence;
}

void ReceptionStats::pushTransit(uint32_t transit) {
    if (transitCount_ == 0) {
        transitWindow_[transitHead_] = transit;
        transitCount_ = 1;
        minTransit = transit;
        return;
    }
    if (transit < minTransit) {
        minTransit = transit;
    }
    if (transitCount_ < kTransitWindowSize) {
        transitWindow_[(transitHead_ + transitCount_) % kTransitWindowSize] = transit;
        ++transitCount_;
        return;
    }
    // Full: the newest entry takes the oldest one's slot.
    const uint32_t removed = transitWindow_[transitHead_];
    transitWindow_[transitHead_] = transit;
    transitHead_ = (transitHead_ + 1) % kTransitWindowSize;
    if (removed == minTransit) {
        uint32_t smallest = transitWindow_[0];
        for (int i = 1; i < kTransitWindowSize; ++i) {
            if (transitWindow_[i] < smallest) {
                smallest = transitWindow_[i];
            }
        }
        minTransit = smallest;
    }
}

void ReceptionStats::onPacket(VoicePacket& packet, uint32_t arrivalMs) {
    packet.sequence = extendSequence(packet.rawSequence);
    // Modulo 2^32: only differences matter, the clocks' zero points cancel.
    onTransit(arrivalMs - packet.timestamp);
}

void ReceptionStats::onPacket(const RawMediaPacket& packet, uint32_t arrivalMs) {
    (void)extendSequence(packet.sequence);
    onTransit(arrivalMs - packet.timestamp);
}

void ReceptionStats::onTransit(uint32_t transit) {
    pushTransit(transit);

    if (isFirstPacket) {
        lastTransit = transit;
        jitter = kInitialJitterMs;
        maxJitter = kInitialJitterMs;
        isFirstPacket = false;
    } else {
        const int32_t d = static_cast<int32_t>(transit - lastTransit);
        lastTransit = transit;
        // In double: |INT32_MIN| does not fit an int32_t.
        const double magnitude = std::fabs(static_cast<double>(d));
        jitter = jitter + (magnitude - jitter) * kJitterGain;
        if (jitter > maxJitter) {
            maxJitter = jitter;
        }
    }

    if (lateRun != 0) {
        targetDelay = truncateToInt32(kLateDelayFactor * jitter);
    }
}

char* formatClockTime(uint32_t ms, char* out, unsigned long size) {
    const unsigned hours = (ms / 3600000u) % 24u;
    const unsigned minutes = (ms / 60000u) % 60u;
    const unsigned seconds = (ms / 1000u) % 60u;
    const unsigned millis = ms % 1000u;
    std::snprintf(out, size, "%02u:%02u:%02u %03u", hours, minutes, seconds, millis);
    return out;
}

void ReceptionStats::printReport(FILE* out) const {
    char clock[16];
    std::fprintf(out, "Start:\t%s\r\n", formatClockTime(startTime, clock, sizeof clock));
    std::fprintf(out, "End:\t%s\r\n", formatClockTime(endTime, clock, sizeof clock));
    std::fprintf(out, "received: %d\r\n", static_cast<int>(received));
    std::fprintf(out, "max jitter : %d\r\n", static_cast<int>(truncateToInt32(maxJitter)));
    std::fprintf(out, "dropped: %d\r\n", static_cast<int>(dropped));
    std::fprintf(out, "missed: %d\r\n", static_cast<int>(missed));
    int periodMin = 0;
    int periodMax = 0;
    getTimerPeriodRange(&periodMin, &periodMax);
    std::fprintf(out, "Period min: %d, max: %d\r\n", periodMin, periodMax);
    int osMajor = 0;
    int osMinor = 0;
    getOsVersion(&osMajor, &osMinor);
    std::fprintf(out, "OS version: %d.%d, \r\n", osMajor, osMinor);
}

}  // namespace vexlink
