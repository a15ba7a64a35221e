#include "PipeWireRun.h"

#include <algorithm>
#include <map>

#include "GraphTap.h"
#include "PipeWireSession.h"
#include "audio/AudioFormat.h"
#include "pipewire/PipeWireSource.h"

namespace vexlink::bench {

namespace {
constexpr int32_t kOpenMs = 20000;  // daemons of the run's own on a loaded machine
constexpr size_t kBuffersPerSecond = 48000 / 64;  // down to a quantum of 64
}  // namespace

PipeWireRun::PipeWireRun(uint32_t seconds)
    : samples_(static_cast<size_t>(seconds) * kSampleRate),
      session_(std::make_unique<test::PipeWireSession>()),
      capture_(std::make_unique<PipeWireCapture>(samples_, seconds * kBuffersPerSecond)) {}

PipeWireRun::~PipeWireRun() { close(); }

bool PipeWireRun::start(int32_t quantum, std::string* error) {
    if (!session_->start()) {
        *error = "the private PipeWire session did not start: " + session_->daemonLog();
        return false;
    }
    if (quantum > 0 &&
        session_->run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string(quantum)}) != 0) {
        *error = "cannot force the quantum";
        return false;
    }
    return true;
}

bool PipeWireRun::open(AdaptiveFeed& feed, LatencyProbe* probe, std::string* error) {
    tap_ = std::make_unique<GraphTap>(feed, probe, samples_);
    node_ = std::make_unique<PipeWireSource>(*tap_);
    if (!node_->open(kOpenMs)) {
        *error = node_->error();
        return false;
    }
    if (!capture_->open(PipeWireSource::kNodeName, kOpenMs)) {
        *error = capture_->error();
        return false;
    }
    return true;
}

void PipeWireRun::close() {
    capture_->close();
    if (node_) node_->close();
}

double PipeWireRun::recordsMb() const {
    // The tap's copy of the output and the capture's samples and buffer list.
    const double bytes = static_cast<double>(samples_) * 2.0 * 2.0 +
                         static_cast<double>(samples_ / kSampleRate * kBuffersPerSecond) * sizeof(PipeWireCapture::Buffer);
    return bytes / (1024.0 * 1024.0);
}

std::vector<int16_t> PipeWireRun::output() const { return tap_ ? tap_->output() : std::vector<int16_t>{}; }

uint32_t PipeWireRun::quantum() const {
    std::map<uint32_t, size_t> sizes;
    for (const PipeWireCapture::Buffer& b : capture_->buffers()) ++sizes[b.count];
    uint32_t most = 0;
    size_t times = 0;
    for (const auto& [size, n] : sizes) {
        if (n > times) {
            most = size;
            times = n;
        }
    }
    return most;
}

uint64_t PipeWireRun::overflows() const { return capture_->overflows() + (tap_ ? tap_->overflows() : 0); }

}  // namespace vexlink::bench
