#include "control/DeviceFrameSink.h"

#include "audio/AudioFormat.h"
#include "audio/LocalPlayer.h"
#include "audio/LoopbackWriter.h"
#include "settings/Settings.h"

namespace vexlink {

void DeviceFrameSink::playFrame(const int16_t* samples) {
    if (loopback_ != nullptr) loopback_->write(samples, kFrameSamples);
    if (localPlayer_ != nullptr && Settings::getPlayLocally()) localPlayer_->write(samples, kFrameSamples);
}

}  // namespace vexlink
