#pragma once

#include <cstdint>
#include <cstdio>

namespace vexlink {

struct RawMediaPacket;
struct VoicePacket;

// Figures about the voice reception of the current connection. One per
// process, reached through instance(). reset() runs on the event thread
// before the receive thread and timer start; onPacket, received and endTime
// are written by the receive thread, dropped by the timer thread; the report
// is printed after both have ended. Nothing here allocates after creation.
class ReceptionStats {
public:
    static constexpr int kTransitWindowSize = 16;
    // A raw sequence number this far or farther above the last accepted one
    // is taken for a stray packet and does not move the reference.
    static constexpr uint32_t kSequenceJumpLimit = 3000;

    // The process-wide record, created (and reset) on the first call.
    static ReceptionStats* instance();

    // Starts a new connection's figures; also empties the transit window.
    void reset();
    // arrivalMs: low 32 bits of monotonicMs right after the packet was read.
    // Fills packet.sequence and updates transit, jitter and minTransit.
    // Constant work, no allocation.
    void onPacket(VoicePacket& packet, uint32_t arrivalMs);
    // The same for a packet read without decoding (the adaptive playout's
    // receive loop), which has no field for the extended sequence number.
    void onPacket(const RawMediaPacket& packet, uint32_t arrivalMs);
    // The end-of-connection report, "\r\n" line ends.
    void printReport(FILE* out = stdout) const;

    bool isFirstPacket = true;
    uint32_t startTime = 0;
    uint32_t endTime = 0;
    uint32_t received = 0;
    uint32_t missed = 0;
    uint32_t dropped = 0;
    uint32_t lastTransit = 0;
    double jitter = 0.0;
    double maxJitter = 0.0;

    // For deadline-driven playout: the smallest of the last 16 transit
    // times, the extra delay to add after late packets, and the count of
    // consecutive late packets (only a deadline playout changes it).
    uint32_t minTransit = 0;
    int32_t targetDelay = 0;
    uint32_t lateRun = 0;

    // UDP datagrams from addresses other than the phone's, discarded unread;
    // the event thread stores it after joining the receive thread. Not part
    // of the report.
    uint32_t foreignDatagrams = 0;

    // What the adaptive playout made of the connection, stored by the event
    // thread once its playout has stopped; `adaptive` is false when the
    // queue-paced tick played it. Not part of the report.
    struct PlayoutSummary {
        bool adaptive = false;
        int32_t targetDelaySamples = 0;  // at the last pull
        uint64_t late = 0;               // packets that came after their turn
        uint64_t duplicates = 0;
        uint64_t concealed = 0;          // frames concealed between played ones
        uint64_t played = 0;             // frames played from their own packet
        double ratio = 1.0;              // resampling ratio at the last pull
    };
    PlayoutSummary playout;

    ReceptionStats() { reset(); }

    int transitWindowCount() const { return transitCount_; }

private:
    void pushTransit(uint32_t transit);
    // The extended sequence number of `rawSequence`; counts the wraps.
    uint32_t extendSequence(uint16_t rawSequence);
    void onTransit(uint32_t transit);

    // Fixed ring of the most recent transit times.
    uint32_t transitWindow_[kTransitWindowSize] = {};
    int transitCount_ = 0;
    int transitHead_ = 0;  // index of the oldest entry
    // Sequence wrap counting.
    uint32_t wrapCount_ = 0;
    uint16_t lastSequence_ = 0;
};

// "%02d:%02d:%02d %03d" of a 32-bit millisecond value (hours mod 24) into
// out (at least 13 bytes for the full text); returns out.
char* formatClockTime(uint32_t ms, char* out, unsigned long size);

}  // namespace vexlink
