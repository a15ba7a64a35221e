#pragma once

#include <cstdint>

namespace vexlink {

// The one PCM format of the system: mono, signed 16-bit, 48000 Hz, moved in
// 20 ms frames.
constexpr int32_t kSampleRate = 48000;
constexpr int32_t kChannels = 1;
constexpr int32_t kFrameMs = 20;
constexpr int32_t kFrameSamples = 960;
constexpr int32_t kFrameBytes = kFrameSamples * 2;

constexpr const char* kLoopbackCheckDevice = "hw:CARD=Loopback,DEV=0";
constexpr const char* kLoopbackOutputDevice = "plughw:CARD=Loopback,DEV=0,SUBDEV=0";
constexpr const char* kLocalDevice = "default";

}  // namespace vexlink
