#pragma once

// Shared by the controller's in-process tests and the whole-system tests: a
// recording PlayerCallback, loopback ports, and the reference decode of the
// simulator's recorded Opus payloads.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <opus.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <ostream>
#include <vector>

#include "PortReservation.h"
#include "control/ControllerTypes.h"
#include "tools/phonesim/SimulatorRecord.h"

namespace vexlink::test {

struct StateReport {
    int32_t state, result, detail;
    std::chrono::steady_clock::time_point at;
    bool operator==(const StateReport& o) const {
        return state == o.state && result == o.result && detail == o.detail;
    }
};
inline void PrintTo(const StateReport& r, std::ostream* out) {
    *out << "{state " << r.state << ", result " << r.result << ", detail " << r.detail << "}";
}
inline StateReport report(int32_t state, int32_t result = 0) { return {state, result, 0, {}}; }

class RecordingCallback final : public PlayerCallback {
public:
    void onStateChanged(int32_t state, int32_t result, int32_t detail) override {
        reporter_.store(static_cast<pid_t>(::syscall(SYS_gettid)));
        std::lock_guard<std::mutex> lock(mutex_);
        reports_.push_back({state, result, detail, std::chrono::steady_clock::now()});
        changed_.notify_all();
    }
    std::vector<StateReport> reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    // Waits for the `count`th report of `state` and returns the last one of it.
    bool waitFor(int32_t state, std::chrono::milliseconds limit, size_t count = 1) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return size_t(std::count_if(reports_.begin(), reports_.end(),
                                        [&](const StateReport& r) { return r.state == state; })) >= count;
        });
    }
    StateReport last(int32_t state) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = reports_.rbegin(); it != reports_.rend(); ++it)
            if (it->state == state) return *it;
        return {-1, 0, 0, {}};
    }

    // The thread that reported last (the controller's event thread).
    pid_t reporter() const { return reporter_.load(); }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<StateReport> reports_;
    std::atomic<pid_t> reporter_{0};
};

// Holds the callers of hold() until release(): a seam that blocks as a
// resolver or a Bluetooth search can.
struct Gate {
    void hold() {
        ++held;
        open.wait();
    }
    void release() { std::call_once(released, [&] { opening.set_value(); }); }
    std::atomic<int> held{0};
    std::once_flag released;
    std::promise<void> opening;
    std::shared_future<void> open = opening.get_future().share();
};

// A socket bound to 127.0.0.1:port (0: any free port), closed on destruction.
struct BoundSocket {
    int fd;
    int32_t port = -1;
    BoundSocket(int type, int32_t wanted = 0) : fd(::socket(AF_INET, type, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(wanted));
        socklen_t length = sizeof a;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            port = ntohs(a.sin_port);
    }
    ~BoundSocket() { if (fd >= 0) ::close(fd); }
};

using PcmFrame = std::vector<int16_t>;

// The session's packets decoded in order by one fresh decoder, as the client
// does (gain code 5 leaves them as they are); with `only`, just the packets
// of those indexes, in that order.
inline std::vector<PcmFrame> referenceFrames(const phonesim::SessionRecord& session,
                                             const std::vector<size_t>* only = nullptr) {
    std::vector<PcmFrame> frames;
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 1, &error);
    const size_t count = only != nullptr ? only->size() : session.packets.size();
    for (size_t k = 0; k < count && decoder != nullptr; ++k) {
        const auto& p = session.packets.at(only != nullptr ? (*only)[k] : k);
        if (p.dropped || p.sendTimesUs.empty()) continue;
        PcmFrame frame(960, 0);
        if (opus_decode(decoder, p.payload.data(), opus_int32(p.payload.size()), frame.data(), 960, 0) < 960)
            std::fill(frame.begin(), frame.end(), 0);
        frames.push_back(std::move(frame));
    }
    if (decoder) opus_decoder_destroy(decoder);
    return frames;
}

inline std::vector<PcmFrame> splitFrames(const std::vector<int16_t>& samples) {
    std::vector<PcmFrame> frames;
    for (auto at = samples.begin(); samples.end() - at >= 960; at += 960) frames.emplace_back(at, at + 960);
    return frames;
}

// Output frames may skip reference frames or repeat the last one, never go
// back to an older one or start anywhere but the first.
struct FrameMatch {
    size_t matched = 0, firstReference = 0;
    bool inOrder = true;
};
inline FrameMatch matchFrames(const std::vector<PcmFrame>& output, const std::vector<PcmFrame>& reference) {
    FrameMatch m;
    size_t next = 0;
    for (const auto& frame : output) {
        const auto found = std::find(reference.begin() + long(next), reference.end(), frame);
        if (found != reference.end()) {
            if (m.matched++ == 0) m.firstReference = size_t(found - reference.begin());
            next = size_t(found - reference.begin()) + 1;
        } else if (next >= 2 && std::find(reference.begin(), reference.begin() + long(next - 1), frame) !=
                                    reference.begin() + long(next - 1)) {
            m.inOrder = false;
        }
    }
    return m;
}

}  // namespace vexlink::test
