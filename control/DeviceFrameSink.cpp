#include "control/DeviceFrameSink.h"

#include "audio/LocalPlayer.h"
#include "audio/LoopbackWriter.h"
#include "settings/Settings.h"

namespace vexlink {

void DeviceFrameSink::playSamples(const int16_t* samples, int32_t count) {
    if (count <= 0) return;
    if (loopback_ != nullptr) loopback_->write(samples, count);
    if (localPlayer_ != nullptr && Settings::getPlayLocally()) localPlayer_->write(samples, static_cast<uint32_t>(count));
}

}  // namespace vexlink
