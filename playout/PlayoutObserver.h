#pragma once

#include <cstdint>

namespace vexlink {

// Told where each frame's first sample leaves the playout: which frame
// (extended sequence number; its low 16 bits are the packet's), at which
// sample of the pull's output, and for a played frame its packet's sender
// timestamp (0 for the others). Called on the pulling thread, inside pull().
class PlayoutObserver {
public:
    enum class Frame { Played, Concealed, Silent };

    virtual ~PlayoutObserver() = default;
    virtual void onFrameStart(int64_t sequence, Frame frame, int32_t offset, uint32_t timestamp) = 0;
};

}  // namespace vexlink
