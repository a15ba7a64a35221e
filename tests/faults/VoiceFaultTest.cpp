#include "VoiceFaultTest.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <thread>

#include "FaultProbe.h"
#include "PortReservation.h"
#include "FrameTracker.h"
#include "StarvationMonitor.h"
#include "control/MicController.h"
#include "control/Settings.h"
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

double VoiceOutcome::concealedPercent() const {
    return voiceTicks() == 0 ? 0.0 : 100.0 * concealed / static_cast<double>(voiceTicks());
}

double VoiceOutcome::droppedPercent() const {
    return arrivals == 0 ? 0.0 : 100.0 * static_cast<double>(discarded) / static_cast<double>(arrivals);
}

phonesim::SimulatorConfig VoiceFaultTest::voice(uint32_t voiceMs, uint64_t seed) {
    phonesim::SimulatorConfig c;
    c.control.listenAddress = "127.0.0.1";
    c.control.port = 0;
    c.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3400.0, 1000, 0.4);
    c.media.durationMs = voiceMs;
    c.media.recordPayloads = false;
    c.media.impairments.seed = seed;
    // The client starts its 20 ms tick right after the Start reply; voice
    // sent right after that reply reaches it just before each tick, where a
    // millisecond of scheduling noise decides between playing the frame and
    // concealing (then trimming the frame a tick later). Half a tick later
    // the scenarios measure the network's trouble, not that coin toss (the
    // benchmark shows both).
    c.media.startDelayMs = 10;
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

    StateLog states;
    auto controller = std::make_unique<MicController>(&states);
    // On the heap: the probe keeps a table of arrival times by sequence number.
    auto probeHolder = std::make_unique<FaultProbe>(*controller, options.markTimestampMs);
    FaultProbe& probe = *probeHolder;
    controller->setLatencyProbe(&probe);
    if (options.mediaWaitMs > 0) controller->setMediaReceiveWaitMsForTest(options.mediaWaitMs);
    controller->start();

    const uint32_t voiceMs = config.media.durationMs;
    const auto voiceLimit = std::chrono::milliseconds(voiceMs * (kSanitized ? 3 : 2) + 20000);
    out.connected = states.waitFor(kStateConnected, 20s);
    EXPECT_TRUE(out.connected) << name << ": never connected";

    StateLog::Entry end{};
    if (out.connected) {
        if (options.expectSelfEnd) {
            EXPECT_TRUE(states.waitFor(kStateDisconnected, voiceLimit, &end)) << name << ": did not end by itself";
        } else {
            if (options.stopAfterArrivals > 0) {
                EXPECT_TRUE(probe.waitArrivals(options.stopAfterArrivals, voiceLimit)) << name;
            } else {
                EXPECT_TRUE(sim.waitForMediaFinished(voiceLimit)) << name << ": the voice did not finish";
                // The simulator has written its last datagram, but the client
                // may not have read it yet: give the receive thread a moment
                // to catch up before the figures are taken. (A datagram that
                // never comes shows up in the counts the tests check.)
                const phonesim::SimulatorRecord sentSoFar = sim.snapshot();
                if (const phonesim::SessionRecord* s = sentSoFar.lastSession()) {
                    probe.waitArrivals(s->counters.sent + s->counters.duplicates, 2s);
                }
                out.droppedAtVoiceEnd = static_cast<int64_t>(FrameTracker::discarded());
                out.depthAtVoiceEnd =
                    static_cast<int64_t>(probe.arrivals()) - static_cast<int64_t>(probe.written()) - out.droppedAtVoiceEnd;
                probe.waitDrained(options.drainLimit);
            }
            out.stillConnectedAtStop = controller->state() == kStateConnected;
            // While voice flows the client holds the queued frames, the one
            // it played last and the one being read: no more.
            out.framesHeldAtStop = FrameTracker::live();
            out.discarded = FrameTracker::discarded();
            out.depthAtStop = static_cast<size_t>(probe.arrivals() - probe.written() - out.discarded);
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
    }
    out.starvedMs = starvation.starvedMs();
    out.longestStarvedMs = starvation.longestMs();
    out.starvedFrames = starvation.frames();
    out.framesLeft = framesLeftAfter(2s);
    out.figures = controller->playoutFigures();
    out.concealed = probe.concealedAtLastFresh();
    out.arrivals = probe.arrivals();
    out.written = probe.written();
    out.outOfOrder = probe.outOfOrder();
    out.markedArrivals = probe.markedArrivals();
    out.markedWritten = probe.markedWritten();
    out.maxLatencyMs = probe.maxLatencyUs() / 1000.0;
    out.maxArrivalGapMs = probe.maxArrivalGapUs() / 1000.0;
    out.maxWriteGapMs = probe.maxWriteGapUs() / 1000.0;
    controller.reset();

    sim.stop();
    sim.join();
    const phonesim::SimulatorRecord record = sim.snapshot();
    if (const phonesim::SessionRecord* s = record.lastSession()) {
        out.sent = s->counters;
        out.keepAlives = s->countMessages(phonesim::kSimKeepAlive);
        out.simulatorEnd = phonesim::sessionEndName(s->end);
        if (options.expectSelfEnd && !s->packets.empty()) {
            int64_t lastSendUs = 0;
            for (const auto& p : s->packets) {
                for (int64_t t : p.sendTimesUs) lastSendUs = std::max(lastSendUs, t);
            }
            // The record's clock is CLOCK_MONOTONIC, as is steady_clock here.
            const auto endUs = std::chrono::duration_cast<std::chrono::microseconds>(end.at.time_since_epoch()).count();
            out.endMs = (endUs - lastSendUs) / 1000.0;
        }
    } else {
        ADD_FAILURE() << name << ": the simulator saw no session";
    }

    // What every scenario must hold.
    EXPECT_EQ(out.framesLeft, 0u) << name << ": queued frames not released at the end of the connection";
    EXPECT_EQ(FrameTracker::overflowed(), 0u);
    EXPECT_LE(out.framesHeldAtStop, out.depthAtStop + 3) << name << ": frames held beyond the queue";
    if (!options.expectSelfEnd && out.connected) {
        EXPECT_EQ(out.result, kResultOk) << name;
        EXPECT_GE(out.stopMs, 0.0) << name;
        // A machine that held the process up meanwhile gets that time back.
        EXPECT_LE(out.stopMs, kStopLimitMs + out.longestStarvedMs) << name << ": stop() took too long";
    }
    // Nothing is invented: every queued frame was sent (copies included).
    EXPECT_LE(out.arrivals, out.sent.sent + out.sent.duplicates) << name;
    // Every queued frame was played, thrown away, or still waiting at the end;
    // the tick's trimming is among those thrown away.
    EXPECT_LE(out.written + out.discarded, out.arrivals) << name;
    if (!options.expectSelfEnd) {
        EXPECT_GE(out.discarded, out.figures.droppedFrames) << name;
    }

    std::printf(
        "[  FIGURES ] %s: generated=%llu sent=%llu lost=%llu dup=%llu reordered=%llu garbage=%llu | "
        "received=%llu fresh=%llu concealed=%u (%.1f%%) trimmed=%u overflow=%lld (thrown away %.1f%%) max-depth=%d out-of-order=%llu "
        "max-latency=%.1fms max-gap(arrival/write)=%.0f/%.0fms keepalives=%zu held=%zu queued-at-voice-end=%lld | result=%d stop=%.1fms end=%.1fms | "
        "starved=%.0fms (longest %.0fms)\n",
        name.c_str(), static_cast<unsigned long long>(out.sent.generated),
        static_cast<unsigned long long>(out.sent.sent), static_cast<unsigned long long>(out.sent.lost),
        static_cast<unsigned long long>(out.sent.duplicates), static_cast<unsigned long long>(out.sent.reordered),
        static_cast<unsigned long long>(out.sent.garbage), static_cast<unsigned long long>(out.arrivals),
        static_cast<unsigned long long>(out.written), out.concealed, out.concealedPercent(), out.figures.droppedFrames,
        static_cast<long long>(out.discarded) - static_cast<long long>(out.figures.droppedFrames),
        out.droppedPercent(), out.figures.maxQueueDepth, static_cast<unsigned long long>(out.outOfOrder),
        out.maxLatencyMs, out.maxArrivalGapMs, out.maxWriteGapMs, out.keepAlives, out.framesHeldAtStop,
        static_cast<long long>(out.depthAtVoiceEnd), out.result, out.stopMs, out.endMs, out.starvedMs,
        out.longestStarvedMs);
    std::fflush(stdout);
    RecordProperty("sent", static_cast<int>(out.sent.sent));
    RecordProperty("lost", static_cast<int>(out.sent.lost));
    RecordProperty("received", static_cast<int>(out.arrivals));
    RecordProperty("fresh", static_cast<int>(out.written));
    RecordProperty("concealed", static_cast<int>(out.concealed));
    RecordProperty("dropped", static_cast<int>(out.figures.droppedFrames));
    RecordProperty("thrown_away", static_cast<int>(out.discarded));
    RecordProperty("max_queue_depth", out.figures.maxQueueDepth);
    RecordProperty("stop_ms", static_cast<int>(out.stopMs));
    RecordProperty("starved_ms", static_cast<int>(out.starvedMs));
    return out;
}

void VoiceFaultTest::expectBalancedBooks(const VoiceOutcome& o, const std::string& name) {
    const int64_t missing = static_cast<int64_t>(o.sent.generated) - static_cast<int64_t>(o.arrivals);
    const int64_t balance = static_cast<int64_t>(o.concealed) - o.droppedAtVoiceEnd - missing - o.depthAtVoiceEnd;
    EXPECT_LE(std::llabs(balance), (kSanitized ? 8 : 4) + o.starvedFrames)
        << name << ": concealed " << o.concealed << ", dropped " << o.droppedAtVoiceEnd << ", missing " << missing
        << ", queued at the end of the voice " << o.depthAtVoiceEnd;
}

}  // namespace vexlink::test
