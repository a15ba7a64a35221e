#include "control/SilenceFeeder.h"

#include "audio/AudioFormat.h"
#include "audio/LoopbackWriter.h"

namespace vexlink {

namespace {

constexpr int16_t kSilentFrame[kFrameSamples] = {};

}  // namespace

bool SilenceFeeder::start() { return timer_.isRunning() || timer_.start(this, kFrameMs); }

void SilenceFeeder::onTimer() {
    if (loopback_ != nullptr) loopback_->write(kSilentFrame, kFrameSamples);
}

}  // namespace vexlink
