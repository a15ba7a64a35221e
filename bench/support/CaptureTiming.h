#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "PipeWireCapture.h"
#include "PlayedFrame.h"
#include "RunAnalysis.h"

namespace vexlink::bench {

struct CaptureInput {
    const std::vector<SentFrame>* sent = nullptr;        // by frame index
    const std::vector<PlayedFrame>* played = nullptr;    // output sample = index in `output`
    const std::vector<int16_t>* output = nullptr;        // what the node handed to the graph
    const std::vector<int16_t>* captured = nullptr;      // what the recording program received
    const std::vector<PipeWireCapture::Buffer>* buffers = nullptr;
};

struct CaptureFigures {
    Percentiles sendCapture;  // simulator's first send -> the capture's stream reaching the frame's first sample
    size_t frames = 0;        // real frames, first plays
    size_t located = 0;       // of those, found bit for bit in the capture
};

// Finds each real frame's samples in the capture: the capture is the node's
// output shifted by a constant (the samples before the link), found once by
// content; where a frame is not at that shift (a cycle lost on the way) the
// shift is searched again around it. A frame is captured when the capture's
// stream reaches its first sample: when the cycle handed over the buffer
// holding it, plus the sample's place in that buffer.
CaptureFigures timeCapture(const CaptureInput& in);

}  // namespace vexlink::bench
