#pragma once

#include <atomic>
#include <cstdint>

namespace vexlink {

class LatencyProbe;
class PacketRing;
class PacketSource;
class PlayoutQueue;
class ReceptionStats;
class VoiceDecoder;
struct RawMediaPacket;
struct VoicePacket;

// The receive thread's work for one connection: read voice packets while the
// controller stays Connected and hand each one on, by one of two paths. The
// queue path, run(decoder), decodes each packet into a VoicePacket and
// appends it to the playout queue. The adaptive path, run(ring), reads each
// packet raw, without decoding, and pushes it with its arrival time into the
// playout's packet ring (the playout decodes and applies the gain codes
// itself).
//
// The server version, capped at 4, picks the layout: 2 and 3 the plain one;
// 4 the version-4 one, whose packets also feed the jitter estimate and, on
// the queue path, have their gain code applied. Versions 0 and 1 have no
// layout: every read fails at once, so the loop ends right after Connected
// with -29.
//
// Threads: everything here runs on the receive thread; `state` is written
// by the event thread and only read here. The queue's loop allocates one
// VoicePacket per read and nothing else; the ring's loop allocates nothing.
class VoiceReceiver {
public:
    static constexpr int kReadAttempts = 3;
    // Most frames the playout queue may hold (one second of voice). The
    // tick's trimming takes at most one frame per six ticks, so a sender
    // faster than real time (a flood, or a burst after a long stall) would
    // otherwise grow the queue, the delay and the memory without limit.
    // Past this the oldest frame is discarded: the freshest voice matters.
    static constexpr int32_t kMaxQueuedFrames = 50;

    VoiceReceiver(PacketSource& source, const std::atomic<int32_t>& state, int32_t serverVersion,
                  PlayoutQueue& queue, ReceptionStats& stats);

    void setLatencyProbe(LatencyProbe* probe) { probe_ = probe; }

    // Opens the decoder, receives until the state leaves Connected or a read
    // fails for good, stamps the end time and closes the decoder. Returns 0
    // when the loop saw the state change before a packet, otherwise the
    // result to report: -28 after at least one packet, -29 before any.
    int32_t run(VoiceDecoder& decoder);
    // The same loop for the adaptive playout: raw reads into `ring` (whose
    // session the caller began); a packet the full ring refuses still counts
    // as received (the ring counts it as dropped). The queue is not used.
    int32_t run(PacketRing& ring);

    // One packet read and decoded: up to three attempts, each only while
    // Connected; a socket error ends it at once.
    bool readVoicePacket(VoiceDecoder& decoder, VoicePacket& packet);
    // The same attempts with the raw readers.
    bool readRawPacket(RawMediaPacket& packet);

    // Frames discarded because the queue was full (receive thread; read it
    // after the thread has ended).
    uint32_t overflowDrops() const { return overflowDrops_; }

    // serverVersion capped at 4.
    int32_t effectiveVersion() const { return serverVersion_ > 4 ? 4 : serverVersion_; }

private:
    bool connected() const;
    // The attempts of one packet; `readOnce(version)` reads with the layout
    // of the version in force (2, 3 or 4) and returns the reader's result.
    template <typename ReadOnce>
    bool readWithAttempts(ReadOnce readOnce);
    // The loop: `takeOne()` reads and hands on one packet, false when the
    // read failed for good.
    template <typename TakeOne>
    int32_t receive(TakeOne takeOne);
    bool plainLayout() const;

    PacketSource& source_;
    const std::atomic<int32_t>& state_;
    int32_t serverVersion_;
    PlayoutQueue& queue_;
    ReceptionStats& stats_;
    LatencyProbe* probe_ = nullptr;
    uint32_t overflowDrops_ = 0;
};

}  // namespace vexlink
