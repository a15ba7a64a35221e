#pragma once

// Helpers shared by the controller's in-process tests and the whole-system
// tests: a recording PlayerCallback, free loopback ports, and the reference
// decode of the simulator's recorded Opus payloads.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <opus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "control/ControllerTypes.h"
#include "tools/phonesim/SimulatorRecord.h"

namespace vexlink::test {

struct StateReport {
    int32_t state;
    int32_t result;
    int32_t detail;
    std::chrono::steady_clock::time_point at;
    bool operator==(const StateReport& o) const {
        return state == o.state && result == o.result && detail == o.detail;
    }
};

inline void PrintTo(const StateReport& r, std::ostream* out) {
    *out << "{state " << r.state << ", result " << r.result << ", detail " << r.detail << "}";
}

inline StateReport report(int32_t state, int32_t result = 0, int32_t detail = 0) {
    return {state, result, detail, {}};
}

// Records every state change; never ends the process.
class RecordingCallback final : public PlayerCallback {
public:
    void onStateChanged(int32_t state, int32_t result, int32_t detail) override {
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back({state, result, detail, std::chrono::steady_clock::now()});
        changed_.notify_all();
    }

    std::vector<StateReport> reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }

    // Waits until `count` reports with `state` have arrived.
    bool waitForState(int32_t state, std::chrono::milliseconds limit, size_t count = 1) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return static_cast<size_t>(std::count_if(reports_.begin(), reports_.end(),
                                                     [&](const StateReport& r) { return r.state == state; })) >= count;
        });
    }

    // The last report with `state` (call after waitForState).
    StateReport last(int32_t state) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = reports_.rbegin(); it != reports_.rend(); ++it) {
            if (it->state == state) return *it;
        }
        return {-1, 0, 0, {}};
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<StateReport> reports_;
};

// Polls a condition that no event announces (e.g. the playout counters)
// until it holds or the limit passes.
template <typename Predicate>
bool pollUntil(Predicate done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A port that was free on 127.0.0.1 a moment ago.
inline int32_t freePort(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int32_t port = -1;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        socklen_t length = sizeof a;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) port = ntohs(a.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
}

// Holds a UDP port on 127.0.0.1 without SO_REUSEADDR, so the client's bind
// of the same port fails.
class PortBlocker {
public:
    explicit PortBlocker(int32_t port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~PortBlocker() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return ok_; }

private:
    int fd_ = -1;
    bool ok_ = false;
};

using PcmFrame = std::vector<int16_t>;

// Decodes the packets of a session in order with one fresh libopus decoder,
// as the client does, applying nothing else (gain code 5 leaves them as
// they are).
inline std::vector<PcmFrame> referenceFrames(const phonesim::SessionRecord& session) {
    std::vector<PcmFrame> frames;
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
    if (decoder == nullptr) return frames;
    for (const auto& packet : session.packets) {
        if (packet.dropped || packet.sendTimesUs.empty()) continue;
        PcmFrame frame(960, 0);
        const int samples = opus_decode(decoder, packet.payload.data(), static_cast<opus_int32>(packet.payload.size()),
                                        frame.data(), 960, 0);
        if (samples < 960) std::fill(frame.begin() + std::max(samples, 0), frame.end(), 0);
        frames.push_back(std::move(frame));
    }
    opus_decoder_destroy(decoder);
    return frames;
}

inline std::vector<PcmFrame> splitFrames(const std::vector<int16_t>& samples) {
    std::vector<PcmFrame> frames;
    for (size_t at = 0; at + 960 <= samples.size(); at += 960) {
        frames.emplace_back(samples.begin() + static_cast<long>(at), samples.begin() + static_cast<long>(at + 960));
    }
    return frames;
}

// How the output frames relate to the reference. The queue may skip frames
// and the tick repeats the last one, but nothing is reordered or invented:
// every output frame equal to a reference frame must come after the one
// matched before it.
struct FrameMatch {
    size_t matched = 0;         // output frames equal to a later reference frame
    size_t firstReference = 0;  // reference index of the first output frame
    bool inOrder = true;        // no output frame went back to an older one
};

inline FrameMatch matchFrames(const std::vector<PcmFrame>& output, const std::vector<PcmFrame>& reference) {
    FrameMatch m;
    size_t next = 0;
    for (const auto& frame : output) {
        const auto found = std::find(reference.begin() + static_cast<long>(next), reference.end(), frame);
        if (found != reference.end()) {
            const auto index = static_cast<size_t>(found - reference.begin());
            if (m.matched == 0) m.firstReference = index;
            ++m.matched;
            next = index + 1;
        } else if (next >= 2 &&
                   std::find(reference.begin(), reference.begin() + static_cast<long>(next - 1), frame) !=
                       reference.begin() + static_cast<long>(next - 1)) {
            m.inOrder = false;  // an older frame than the one just played (a repeat is fine)
        }
    }
    return m;
}

}  // namespace vexlink::test
