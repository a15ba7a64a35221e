#pragma once

#include "control/FrameSink.h"

namespace vexlink {

class LocalPlayer;
class LoopbackWriter;

// The controller's output: every block goes to the loopback card and, while
// play-locally is set, also to the local player. Write failures are left to
// the devices (the next tick simply writes the next block). Timer thread.
class DeviceFrameSink final : public FrameSink {
public:
    DeviceFrameSink(LoopbackWriter* loopback, LocalPlayer* localPlayer)
        : loopback_(loopback), localPlayer_(localPlayer) {}

    void playSamples(const int16_t* samples, int32_t count) override;
    // The loopback writer, when it is taken only at the first connect request.
    // Event thread, while no timer thread exists.
    void setLoopback(LoopbackWriter* loopback) { loopback_ = loopback; }

private:
    LoopbackWriter* loopback_;   // process-wide, not owned
    LocalPlayer* localPlayer_;   // the controller's, not owned here
};

}  // namespace vexlink
