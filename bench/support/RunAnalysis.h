#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "PlayedFrame.h"

namespace vexlink::bench {

// What the simulator did with one frame (by index).
struct SentFrame {
    int64_t firstSendUs = -1;  // CLOCK_MONOTONIC microseconds of its first copy; -1: never sent
    bool dropped = false;      // lost on purpose by the impairments
};

struct Percentiles {
    double p50 = std::numeric_limits<double>::quiet_NaN();  // ms
    double p99 = std::numeric_limits<double>::quiet_NaN();  // ms
    size_t count = 0;
};

struct AnalysisInput {
    const std::vector<SentFrame>* sent = nullptr;          // by frame index
    const std::vector<uint64_t>* firstArrivalUs = nullptr;  // by frame index, 0: never arrived
    const std::vector<PlayedFrame>* played = nullptr;       // in the order they were heard
    const std::vector<int16_t>* output = nullptr;           // every sample written since Connected
    const std::vector<int16_t>* reference = nullptr;        // every frame decoded in order, frame i at i * 960
    double frameMediaMs = 20.0;                             // media time per frame index
    // An event in media time (a stall, a span of jitter), -1: none. Its
    // recovery is measured against the delay before it.
    int64_t eventFromMs = -1;
    int64_t eventToMs = -1;
    bool excludeEvent = false;  // leave frames produced within it out of sendWriteOutside
};

struct RunFigures {
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    size_t played = 0;                  // real frames heard, copies included
    Percentiles sendWrite;              // simulator's first send -> device write
    Percentiles sendWriteOutside;       // the same without the event's frames
    Percentiles arrivalWrite;           // first arrival -> device write
    size_t outOfOrder = 0;              // heard after a later frame, first time
    size_t playedTwice = 0;             // heard again
    size_t slipsAfter10s = 0;           // breaks in the run of frames after 10 s of output
    size_t clicks = 0;
    size_t clicksAfter10s = 0;
    double spanSeconds = 0.0;           // output from the first real frame to the end of the last
    double snrReal = std::numeric_limits<double>::quiet_NaN();       // dB, mean over segments
    double snrConcealed = std::numeric_limits<double>::quiet_NaN();  // dB, mean over segments
    size_t realSegments = 0;
    size_t concealedSegments = 0;
    std::vector<double> p50Per5s;       // send -> write p50 (ms) per 5 s of media time; NaN: none
    double baselineP50 = std::numeric_limits<double>::quiet_NaN();   // before the event
    double recoverySeconds = std::numeric_limits<double>::quiet_NaN();  // NaN: no event
    size_t isolatedLosses = 0;          // dropped frames whose neighbours were not
    size_t isolatedRecovered = 0;       // of those, concealed within 10 dB of the lost frame
    // The playout's rate after 10 s of output, in ppm off 1 (positive:
    // faster): media samples consumed per output sample, from the first real
    // frame heard after 10 s to the last (at least 5 s apart).
    double ratePpm = std::numeric_limits<double>::quiet_NaN();
};

// Nearest-rank percentile (p in [0, 1]) of the values, NaN when empty.
double percentile(std::vector<double> values, double p);

// Everything the benchmark reports about one run, from the probe's records,
// the simulator's send times and the written PCM:
//  - latencies of the first play of each frame;
//  - order: a frame heard after a higher one (the first time) is out of
//    order, a frame heard again is played twice; after 10 s of output, every
//    pair of frames heard one after the other that is not (i, i + 1) about
//    960 samples apart is a slip;
//  - clicks (ClickDetector) from 20 ms after the first real frame's start
//    (its onset out of silence is not counted) to the end of the last;
//  - segmental SNR against the reference, aligned through each real frame's
//    output sample: a real frame's 960 samples against its own reference
//    frame, and the output between real frames (concealment) in 960-sample
//    pieces against the reference frames that should have been there,
//    counted on from the last real frame (pieces under half a frame, which
//    resampling leaves between frames, are not concealment). An isolated
//    loss whose concealment is within 10 dB of the lost frame (a segmental
//    SNR of 10 dB or more; repeating and fading, or the codec's guess, stay
//    far below) counts as recovered;
//  - the rate at which playout consumed media after 10 s of output. Each piece's SNR is held within
//    [-10, 35] dB; pieces where the reference is near silence are skipped;
//  - send -> write p50 per 5 s of media time and, given an event, the
//    seconds after its end until the p50 of every later 1 s window is within
//    5 ms of the p50 before it (kNever when that does not happen).
RunFigures analyseRun(const AnalysisInput& in);

}  // namespace vexlink::bench
