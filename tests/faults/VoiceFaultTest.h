#pragma once

// The in-process fault scenarios: a real MicController (its event, receive
// and timer threads, real sockets on 127.0.0.1, real libopus, ALSA routed to
// files) against the phone simulator library, with the network trouble made
// by the simulator's impairment model.

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
    double endMs = -1.0;                // last sent packet to Disconnected (ended by itself)
    PlayoutFigures figures;             // after the end
    uint32_t concealed = 0;             // concealed ticks up to the last fresh frame
    uint64_t arrivals = 0;              // frames queued by the receive thread
    uint64_t written = 0;               // fresh frames written to the devices
    uint64_t outOfOrder = 0;            // arrivals behind a higher sequence number
    uint64_t markedArrivals = 0;        // arrivals with a sender timestamp >= the mark
    uint64_t markedWritten = 0;
    double maxLatencyMs = 0.0;          // arrival to device write, largest
    double maxArrivalGapMs = 0.0;       // largest gap between two arrivals
    double maxWriteGapMs = 0.0;         // largest gap between two fresh writes
    phonesim::MediaCounters sent;       // the simulator's counters
    size_t keepAlives = 0;              // KeepAlive messages the simulator received
    size_t framesLeft = 0;              // queued frames still alive after the end
    size_t framesHeldAtStop = 0;        // queued frames alive just before stop()
    size_t depthAtStop = 0;             // frames waiting in the queue then
    int64_t depthAtVoiceEnd = 0;        // frames waiting when the last packet was sent
    int64_t droppedAtVoiceEnd = 0;      // frames thrown away unplayed by then
    uint64_t discarded = 0;             // frames thrown away unplayed before stop():
                                        // trimmed by the tick or by a full queue
    // How long the machine kept this process off the CPU during the run, and
    // how many frames that can account for (see StarvationMonitor).
    double starvedMs = 0.0;
    double longestStarvedMs = 0.0;
    int64_t starvedFrames = 0;
    std::string simulatorEnd;

    // Ticks from the first to the last fresh frame that played something.
    uint64_t voiceTicks() const { return written + concealed; }
    double concealedPercent() const;
    double droppedPercent() const;  // frames thrown away unplayed, of those received
};

struct VoiceRunOptions {
    // Sender timestamps (ms of media time) from which frames are counted as
    // "marked" (e.g. the voice after a stall).
    uint32_t markTimestampMs = UINT32_MAX;
    // Call stop() as soon as this many frames arrived instead of after the
    // voice (0: after the voice and the drain).
    uint64_t stopAfterArrivals = 0;
    // The scenario ends the connection by itself: wait for Disconnected
    // instead of calling stop().
    bool expectSelfEnd = false;
    std::chrono::milliseconds drainLimit{3000};
    // Shorter media read wait (0: the normal 3000 ms).
    int32_t mediaWaitMs = 0;
};

class VoiceFaultTest : public ::testing::Test {
protected:
    // A simulator configuration with `voiceMs` of chirp voice, arriving half
    // a tick away from the client's playout tick, and nothing impaired yet.
    static phonesim::SimulatorConfig voice(uint32_t voiceMs, uint64_t seed = 7);

    // Runs the client against the configured simulator and checks what
    // every scenario must hold: it connects, a stop() ends it within the
    // limit with result 0 (or it ends by itself when expected), every queued
    // frame was released, and the client received what was sent. Prints
    // the figures and records them as test properties.
    VoiceOutcome run(const std::string& name, const phonesim::SimulatorConfig& config,
                     const VoiceRunOptions& options = {});

    // The playout's books must balance: every tick from the first to the
    // last fresh frame played a frame or concealed, and every queued frame
    // is played once or trimmed. So the ticks that concealed while the voice
    // came are the frames that never came (lost, less the surplus copies),
    // plus the frames thrown away meanwhile (trimmed, or pushed out of a full
    // queue), plus what the queue still held when
    // the voice ended (the delay it had gained, played out afterwards; no
    // tick conceals while that drains). Timing noise moves this by a frame
    // or two, however loaded the machine. For runs that end with the voice
    // (not stopped early).
    static void expectBalancedBooks(const VoiceOutcome& o, const std::string& name);

    // Set up first, before any controller exists: ALSA reads its
    // configuration once per process.
    AlsaRouting alsa_;
};

}  // namespace vexlink::test
