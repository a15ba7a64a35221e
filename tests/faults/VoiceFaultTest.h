#pragma once

// The in-process fault scenarios: a real MicController (its event, receive
// and timer threads, real sockets on 127.0.0.1, real libopus, ALSA routed to
// files) against the phone simulator library, with the network trouble made
// by the simulator's impairment model. They check that the client holds up;
// what either playout makes of loss, jitter, reordering, copies, stalls and
// drifting clocks is tested on a hand-driven clock (tests/playout and the
// playout tick's tests in tests/control).

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "AlsaRouting.h"
#include "control/ControllerTypes.h"
#include "control/PlayoutTick.h"
#include "settings/Settings.h"
#include "tools/phonesim/SimulatorConfig.h"
#include "tools/phonesim/SimulatorRecord.h"

namespace vexlink::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// Ctrl-C (stop()) must end a run within 2 s. Measured, and asserted with the
// whole 2 s on a plain build; sanitizers slow every thread several times.
inline constexpr double kStopLimitMs = kSanitized ? 4000.0 : 2000.0;

// A PlayerCallback that keeps every report and never ends the process.
class StateLog final : public PlayerCallback {
public:
    struct Entry {
        int32_t state;
        int32_t result;
        std::chrono::steady_clock::time_point at;
    };
    void onStateChanged(int32_t state, int32_t result, int32_t detail) override;
    // Waits for the n-th report of `state`; fills *entry with it.
    bool waitFor(int32_t state, std::chrono::milliseconds limit, Entry* entry = nullptr, size_t n = 1) const;
    std::vector<Entry> entries() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Entry> entries_;
};

// What one scenario produced.
struct VoiceOutcome {
    bool connected = false;
    bool stillConnectedAtStop = false;  // the fault did not end the connection
    int32_t result = -1000;             // with Disconnected
    double stopMs = -1.0;               // stop() to Disconnected
    PlayoutFigures figures;             // the queue-paced tick's, after the end
    uint64_t arrivals = 0;              // packets read by the receive thread
    uint64_t written = 0;               // the queue's frames written to the devices
    phonesim::MediaCounters sent;       // the simulator's counters
    size_t framesLeft = 0;              // queued frames still alive after the end
    size_t framesHeldAtStop = 0;        // queued frames alive just before stop()
    double longestStarvedMs = 0.0;      // the longest the machine held this process up
};

struct VoiceRunOptions {
    // Call stop() as soon as this many packets arrived instead of after the
    // voice (0: after the voice).
    uint64_t stopAfterArrivals = 0;
    // The scenario ends the connection by itself: wait for Disconnected
    // instead of calling stop().
    bool expectSelfEnd = false;
    PlayoutMode playout = PlayoutMode::Auto;  // version 4: adaptive
};

class VoiceFaultTest : public ::testing::Test {
protected:
    // A simulator configuration with `voiceMs` of chirp voice and nothing
    // impaired yet.
    static phonesim::SimulatorConfig voice(uint32_t voiceMs, uint64_t seed = 7);

    // Runs the client against the configured simulator and checks what
    // every scenario must hold: it connects, a stop() ends it within the
    // limit with result 0 (or it ends by itself when expected), every queued
    // frame was released, and the client read no more than was sent.
    // Prints the figures.
    VoiceOutcome run(const std::string& name, const phonesim::SimulatorConfig& config,
                     const VoiceRunOptions& options = {});

    // Set up first, before any controller exists: ALSA reads its
    // configuration once per process.
    AlsaRouting alsa_;
};

}  // namespace vexlink::test
