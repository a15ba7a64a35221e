#pragma once

#include <cstdint>

namespace vexlink {

// Figures of one session of an AdaptivePlayout. Plain fields with a single
// writer, the thread that pulls; read them from that thread, or from another
// once it has stopped pulling.
struct PlayoutCounters {
    uint64_t framesPlayed = 0;  // frames decoded from their own packet

    // Frames filled by concealment, by cause. A frame is first counted as an
    // underrun (nothing waiting), or as lost when later packets were waiting;
    // an underrun becomes lost once a later frame plays, and either becomes
    // late when its packet turns up after all.
    uint64_t concealedLost = 0;
    uint64_t concealedLate = 0;
    uint64_t concealedUnderrun = 0;

    // Packets thrown away unplayed, by cause.
    uint64_t discardedDuplicate = 0;  // already waiting, or already played
    uint64_t discardedLate = 0;       // its turn had passed
    uint64_t discardedFlush = 0;      // skipped to cut an excess delay at once
    uint64_t discardedOverflow = 0;   // outside the window the buffer can hold

    uint64_t framesInserted = 0;  // concealed frames of no media time (also counted as underruns)
    // Concealed frames rebuilt from the next packet's in-band redundancy
    // (codec concealment, that packet waiting; also counted by cause above).
    uint64_t framesFromRedundancy = 0;
    uint64_t reanchors = 0;  // the sender's timeline moved (a pause) and playout followed it
    uint64_t flushes = 0;

    // At the last pull, in samples: the buffered delay the playout aims at
    // and the one it has, both measured against the expected arrival of the
    // packets; and the resampling ratio (input samples per output sample).
    int32_t targetDelaySamples = 0;
    int32_t currentDelaySamples = 0;
    double ratio = 1.0;

    uint64_t concealed() const { return concealedLost + concealedLate + concealedUnderrun; }
    // What the statistics report counts as dropped.
    uint64_t discarded() const { return discardedDuplicate + discardedLate + discardedFlush + discardedOverflow; }
};

}  // namespace vexlink
