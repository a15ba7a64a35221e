#include "VoiceFaultTest.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <thread>

#include "FaultProbe.h"
#include "FrameTracker.h"
#include "PortReservation.h"
#include "StarvationMonitor.h"
#include "control/MicController.h"
#include "control/VoiceReceiver.h"
#include "media/ReceptionStats.h"
#include "settings/Settings.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void StateLog::onStateChanged(int32_t state, int32_t result, int32_t) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back({state, result, Clock::now()});
    }
    changed_.notify_all();
}

bool StateLog::waitFor(int32_t state, std::chrono::milliseconds limit, Entry* entry, size_t n) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const Entry* found = nullptr;
    const bool ok = changed_.wait_for(lock, limit, [&] {
        size_t seen = 0;
        for (const Entry& e : entries_) {
            if (e.state == state && ++seen == n) {
                found = &e;
                return true;
            }
        }
        return false;
    });
    if (ok && entry != nullptr) *entry = *found;
    return ok;
}

std::vector<StateLog::Entry> StateLog::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

phonesim::SimulatorConfig VoiceFaultTest::voice(uint32_t voiceMs, uint64_t seed) {
    phonesim::SimulatorConfig c;
    c.control.listenAddress = "127.0.0.1";
    c.control.port = 0;
    c.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3400.0, 1000, 0.4);
    c.media.durationMs = voiceMs;
    c.media.recordPayloads = false;
    c.media.impairments.seed = seed;
    return c;
}

namespace {

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Frames are released by the disconnect sequence right after it reported
// Disconnected; give the event thread a moment to get there.
size_t framesLeftAfter(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    size_t left = FrameTracker::live();
    while (left != 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);  // polling the count, not ordering threads
        left = FrameTracker::live();
    }
    return left;
}

}  // namespace

VoiceOutcome VoiceFaultTest::run(const std::string& name, const phonesim::SimulatorConfig& config,
                                 const VoiceRunOptions& options) {
    VoiceOutcome out;
    StarvationMonitor starvation;
    phonesim::PhoneSimulator sim(config);
    std::string error;
    if (!sim.start(&error)) {
        ADD_FAILURE() << "simulator: " << error;
        return out;
    }
    Settings::resetForTest();
    Settings::setTransportType(kTransportWifi);
    EXPECT_TRUE(Settings::setWifiServerAddr("127.0.0.1"));
    Settings::setControlPort(sim.port());
    Settings::setMediaPort(reservePort(SOCK_DGRAM));
    Settings::setPlayoutMode(options.playout);

    StateLog states;
    auto controller = std::make_unique<MicController>(&states);
    FaultProbe probe;
    controller->setLatencyProbe(&probe);
    controller->start();

    const uint32_t voiceMs = config.media.durationMs;
    const auto voiceLimit = std::chrono::milliseconds(voiceMs * (kSanitized ? 3 : 2) + 20000);
    out.connected = states.waitFor(kStateConnected, 20s);
    EXPECT_TRUE(out.connected) << name << ": never connected";

    StateLog::Entry end{};
    if (out.connected && options.expectSelfEnd) {
        EXPECT_TRUE(states.waitFor(kStateDisconnected, voiceLimit, &end)) << name << ": did not end by itself";
    } else if (out.connected) {
        if (options.stopAfterArrivals > 0) {
            EXPECT_TRUE(probe.waitArrivals(options.stopAfterArrivals, voiceLimit)) << name;
        } else {
            EXPECT_TRUE(sim.waitForMediaFinished(voiceLimit)) << name << ": the voice did not finish";
        }
        out.stillConnectedAtStop = controller->state() == kStateConnected;
        // While voice flows the queue's playout holds its queue, the frame
        // it played last and the one being read: no more.
        out.framesHeldAtStop = FrameTracker::live();
        EXPECT_LE(out.framesHeldAtStop, size_t(VoiceReceiver::kMaxQueuedFrames) + 2) << name;
        EXPECT_TRUE(out.stillConnectedAtStop) << name << ": the fault ended the connection";
        const auto stopAt = Clock::now();
        controller->stop();
        if (states.waitFor(kStateDisconnected, 30s, &end)) {
            out.stopMs = msBetween(stopAt, end.at);
        } else {
            ADD_FAILURE() << name << ": stop() did not end the connection (hang)";
        }
    }
    out.result = end.result;
    out.longestStarvedMs = starvation.longestMs();
    out.framesLeft = framesLeftAfter(2s);
    out.figures = controller->playoutFigures();
    out.arrivals = probe.arrivals();
    out.written = probe.written();
    controller.reset();

    sim.stop();
    sim.join();
    const phonesim::SimulatorRecord record = sim.snapshot();
    if (const phonesim::SessionRecord* s = record.lastSession()) {
        out.sent = s->counters;
    } else {
        ADD_FAILURE() << name << ": the simulator saw no session";
    }

    // What every scenario must hold.
    EXPECT_EQ(out.framesLeft, 0u) << name << ": queued frames not released at the end of the connection";
    EXPECT_EQ(FrameTracker::overflowed(), 0u);
    if (!options.expectSelfEnd && out.connected) {
        EXPECT_EQ(out.result, kResultOk) << name;
        EXPECT_GE(out.stopMs, 0.0) << name;
        // A machine that held the process up meanwhile gets that time back.
        EXPECT_LE(out.stopMs, kStopLimitMs + out.longestStarvedMs) << name << ": stop() took too long";
    }
    // Nothing is invented: every packet read was sent (copies included).
    EXPECT_LE(out.arrivals, out.sent.sent + out.sent.duplicates) << name;
    EXPECT_LE(out.written, out.arrivals) << name;

    std::printf("[  FIGURES ] %s: sent=%llu garbage=%llu | received=%llu written=%llu dropped=%u | result=%d "
                "stop=%.1fms\n",
                name.c_str(), static_cast<unsigned long long>(out.sent.sent),
                static_cast<unsigned long long>(out.sent.garbage), static_cast<unsigned long long>(out.arrivals),
                static_cast<unsigned long long>(out.written), ReceptionStats::instance()->dropped, out.result,
                out.stopMs);
    std::fflush(stdout);
    return out;
}

}  // namespace vexlink::test
