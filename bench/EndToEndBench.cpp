// The whole client under real-time voice, one network profile per run:
//
//   end_to_end_bench --profile loss-5%          one profile, one table row
//   end_to_end_bench --header                   the table's header lines
//   end_to_end_bench --list                     the profile names
//   options: --seconds N (voice per profile, default 60)
//
// The client is the real MicController of this process (event, receive and
// timer threads, the UDP media socket, libopus, the loopback writer with
// ALSA routed to a file) with a LatencyProbe installed. The phone is the
// simulator library in a child process forked before any thread exists, so
// that this process's getrusage counts the client alone: CPU time per minute
// of voice and peak RSS are the client's, not the encoder's.
//
// Per profile: frames sent and received; concealed ticks as a share of the
// ticks from the first to the last fresh frame; frames thrown away unplayed
// (trimmed by the tick or pushed out of a full queue) as a share of those
// received; the largest queue depth; and the
// added latency of each played frame, from its arrival (read and decoded by
// the receive thread) to its write to the device (p50, p99).
//
// One profile per process: the process-wide playout counters, the peak RSS
// and the ALSA configuration all start fresh. scripts/bench-e2e.sh runs them
// all and writes bench/results/end-to-end.md.

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "AlsaRouting.h"
#include "control/ControllerTypes.h"
#include "control/LatencyProbe.h"
#include "control/MicController.h"
#include "control/Settings.h"
#include "media/ReceptionStats.h"
#include "media/VoicePacket.h"
#include "platform/Clock.h"
#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/PhoneSimulator.h"

namespace {

using namespace vexlink;
using namespace std::chrono_literals;
using phonesim::SimulatorConfig;

// Every profile but one starts the voice half a tick (10 ms) after the Start
// reply. The client starts its 20 ms tick right after that reply, so voice
// sent at once (as the simulator does by default, and a phone may) arrives
// within a millisecond of each tick, where scheduling noise decides between
// playing a frame and concealing (then trimming it a tick later); the
// profile "unimpaired-tick-aligned" shows that case, the others measure the
// network's trouble without it.
constexpr uint32_t kHalfTickMs = 10;

struct Profile {
    const char* name;
    const char* what;
    bool probe = true;
    void (*shape)(phonesim::ImpairmentConfig&) = nullptr;
    uint32_t startDelayMs = kHalfTickMs;
};

const Profile kProfiles[] = {
    {"unimpaired", "no impairment", true, nullptr},
    {"unimpaired-noprobe", "no impairment, no probe installed", false, nullptr},
    {"unimpaired-tick-aligned", "no impairment, voice started right after the Start reply (at the tick)", true,
     nullptr, 0},
    {"jitter-20ms", "uniform extra delay 0..20 ms", true, [](phonesim::ImpairmentConfig& i) { i.jitterMs = 20; }},
    {"loss-5%", "5% independent loss", true, [](phonesim::ImpairmentConfig& i) { i.loss = 0.05; }},
    {"bursty-loss-10%", "10% loss in bursts of 4 on average", true,
     [](phonesim::ImpairmentConfig& i) {
         i.burstGoodToBad = 0.0278;
         i.burstBadToGood = 0.25;
         i.burstLossInBad = 1.0;
     }},
    {"jitter-30ms", "uniform extra delay 0..30 ms", true, [](phonesim::ImpairmentConfig& i) { i.jitterMs = 30; }},
    {"reorder-10%", "10% held behind the next packet", true,
     [](phonesim::ImpairmentConfig& i) {
         i.reorder = 0.1;
         i.reorderDepth = 1;
     }},
    {"duplicates-10%", "10% sent twice, 0..30 ms apart", true,
     [](phonesim::ImpairmentConfig& i) {
         i.duplicate = 0.1;
         i.duplicateMaxDelayMs = 30;
     }},
    {"clock+300ppm", "sender clock 300 ppm fast", true, [](phonesim::ImpairmentConfig& i) { i.clockPpm = 300.0; }},
    {"clock-300ppm", "sender clock 300 ppm slow", true, [](phonesim::ImpairmentConfig& i) { i.clockPpm = -300.0; }},
    {"stall-2s", "nothing sent for 2 s at 20 s, then the held packets at once", true,
     [](phonesim::ImpairmentConfig& i) {
         i.stallAtMs = 20000;
         i.stallForMs = 2000;
     }},
    {"garbage", "a junk datagram every other packet (1..200 or 1025..2048 random bytes)", true,
     [](phonesim::ImpairmentConfig& i) {
         i.garbageRate = 0.5;
         i.garbageKinds = phonesim::kGarbageRandom | phonesim::kGarbageOversized;
     }},
    {"flood-10x", "500 packets a second (10x)", true, [](phonesim::ImpairmentConfig& i) { i.flood = 10; }},
};

// ------------------------------------------------------------------ the probe

// Arrival times travel in a single-producer single-consumer ring in queue
// order; a written frame takes the entries up to its own, skipping frames
// the trimming discarded. A frame is known by its sequence number and
// timestamp (copies of one packet share both and are taken in turn).
// Nothing allocates after construction.
class BenchProbe final : public LatencyProbe {
public:
    static constexpr size_t kRing = size_t{1} << 17;
    static constexpr size_t kMaxSamples = size_t{1} << 18;

    // The ring is left untouched until used (a fresh mmap'd block), so the
    // probe adds to the peak RSS only what a run fills.
    explicit BenchProbe(const MicController& controller) : controller_(controller), ring_(new Entry[kRing]) {
        latencyUs_.reserve(kMaxSamples);
    }

    void onArrival(const VoicePacket& packet, uint64_t nowUs) override {
        const size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) >= kRing) {
            ringFull_.fetch_add(1, std::memory_order_relaxed);
        } else {
            ring_[head % kRing] = Entry{key(packet), nowUs};
            head_.store(head + 1, std::memory_order_release);
        }
        const uint64_t previous = lastArrivalUs_;
        if (previous != 0 && nowUs - previous > maxArrivalGapUs_) maxArrivalGapUs_ = nowUs - previous;
        lastArrivalUs_ = nowUs;
        lastArrivalKey_.store(key(packet), std::memory_order_relaxed);
        arrivals_.fetch_add(1, std::memory_order_relaxed);
        notify();
    }

    void onWritten(const VoicePacket& packet, uint64_t nowUs) override {
        // Read before this tick counts its own frame.
        concealedAtLastFresh_.store(controller_.playoutFigures().concealedTicks, std::memory_order_relaxed);
        const uint64_t k = key(packet);
        lastWrittenKey_.store(k, std::memory_order_relaxed);
        size_t tail = tail_.load(std::memory_order_relaxed);
        const size_t head = head_.load(std::memory_order_acquire);
        while (tail != head && ring_[tail % kRing].key != k) ++tail;
        if (tail != head) {
            const uint64_t arrived = ring_[tail % kRing].arrivalUs;
            if (latencyUs_.size() < kMaxSamples) latencyUs_.push_back(static_cast<uint32_t>(nowUs - arrived));
            ++tail;
        } else {
            unmatched_.fetch_add(1, std::memory_order_relaxed);
        }
        tail_.store(tail, std::memory_order_release);
        const uint64_t previous = lastWrittenUs_;
        if (previous != 0 && nowUs - previous > maxWriteGapUs_) maxWriteGapUs_ = nowUs - previous;
        lastWrittenUs_ = nowUs;
        written_.fetch_add(1, std::memory_order_relaxed);
        notify();
    }

    uint64_t arrivals() const { return arrivals_.load(); }
    uint64_t written() const { return written_.load(); }
    uint32_t concealedAtLastFresh() const { return concealedAtLastFresh_.load(); }
    uint64_t unmatched() const { return unmatched_.load(); }
    uint64_t ringFull() const { return ringFull_.load(); }
    // Only after the receive and timer threads have ended.
    std::vector<uint32_t>& latencies() { return latencyUs_; }
    // Largest gap between two arrivals, and between two fresh writes: a
    // stall of the network (or of a starved thread) shows here.
    uint64_t maxArrivalGapUs() const { return maxArrivalGapUs_; }
    uint64_t maxWriteGapUs() const { return maxWriteGapUs_; }

    // The playout queue ran empty: the frame that arrived last was played
    // (if it was thrown away instead, the limit ends the wait).
    bool waitDrained(std::chrono::milliseconds limit) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            return arrivals_.load() > 0 && lastWrittenKey_.load() == lastArrivalKey_.load();
        });
    }

private:
    struct Entry {
        uint64_t key;
        uint64_t arrivalUs;
    };

    static uint64_t key(const VoicePacket& p) { return static_cast<uint64_t>(p.timestamp) << 16 | p.rawSequence; }

    void notify() {
        { std::lock_guard<std::mutex> lock(mutex_); }
        changed_.notify_all();
    }

    const MicController& controller_;
    std::unique_ptr<Entry[]> ring_;
    std::atomic<size_t> head_{0};
    std::atomic<size_t> tail_{0};
    std::vector<uint32_t> latencyUs_;  // timer thread
    uint64_t lastArrivalUs_ = 0;       // receive thread
    uint64_t maxArrivalGapUs_ = 0;     // receive thread
    uint64_t lastWrittenUs_ = 0;       // timer thread
    uint64_t maxWriteGapUs_ = 0;       // timer thread
    std::atomic<uint64_t> arrivals_{0};
    std::atomic<uint64_t> written_{0};
    std::atomic<uint64_t> lastArrivalKey_{0};
    std::atomic<uint64_t> lastWrittenKey_{UINT64_MAX};
    std::atomic<uint32_t> concealedAtLastFresh_{0};
    std::atomic<uint64_t> unmatched_{0};
    std::atomic<uint64_t> ringFull_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
};

class StateWaiter final : public PlayerCallback {
public:
    void onStateChanged(int32_t state, int32_t result, int32_t) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state == kStateConnected) connected_ = true;
            if (state == kStateDisconnected) {
                disconnected_ = true;
                result_ = result;
            }
        }
        changed_.notify_all();
    }
    bool waitConnected(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return connected_ || disconnected_; }) && connected_;
    }
    bool waitDisconnected(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return disconnected_; });
    }
    bool disconnected() {
        std::lock_guard<std::mutex> lock(mutex_);
        return disconnected_;
    }
    int32_t result() {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    bool disconnected_ = false;
    int32_t result_ = 0;
};

// ------------------------------------------------------- the phone, forked off

struct PhoneReport {
    uint64_t generated = 0, sent = 0, lost = 0, duplicates = 0, reordered = 0, garbage = 0, sendErrors = 0;
};

enum : uint8_t { kMsgPort = 'P', kMsgMediaDone = 'M', kMsgReport = 'R', kMsgFailed = 'F' };

void writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

bool readAll(int fd, void* data, size_t size, int limitMs) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, limitMs) <= 0) return false;
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The child: serves one session, reports the port, the end of the voice and
// its counters, then ends without running the parent's exit handlers.
[[noreturn]] void runPhone(const SimulatorConfig& config, int out, uint32_t voiceMs) {
    phonesim::PhoneSimulator sim(config);
    std::string error;
    if (!sim.start(&error)) {
        const uint8_t failed = kMsgFailed;
        writeAll(out, &failed, 1);
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        std::_Exit(1);
    }
    const uint8_t tag = kMsgPort;
    const uint16_t port = sim.port();
    writeAll(out, &tag, 1);
    writeAll(out, &port, sizeof port);
    const auto limit = std::chrono::milliseconds(voiceMs + 120000);
    if (sim.waitForMediaFinished(limit)) {
        const uint8_t done = kMsgMediaDone;
        writeAll(out, &done, 1);
    }
    sim.waitForSessionEnd(limit);
    const phonesim::SimulatorRecord record = sim.snapshot();
    PhoneReport report;
    if (const phonesim::SessionRecord* s = record.lastSession()) {
        report.generated = s->counters.generated;
        report.sent = s->counters.sent;
        report.lost = s->counters.lost;
        report.duplicates = s->counters.duplicates;
        report.reordered = s->counters.reordered;
        report.garbage = s->counters.garbage;
        report.sendErrors = s->counters.sendErrors;
    }
    const uint8_t r = kMsgReport;
    writeAll(out, &r, 1);
    writeAll(out, &report, sizeof report);
    sim.stop();
    sim.join();
    std::_Exit(0);
}

int32_t freeUdpPort() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_any;
    int32_t port = -1;
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin6_port);
    }
    ::close(fd);
    return port;
}

// ------------------------------------------------------------------- figures

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<uint32_t>& v, double p) {
    if (v.empty()) return -1.0;
    const size_t at = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(at), v.end());
    return v[at] / 1000.0;
}

void printHeader() {
    std::fputs(
        "| profile | voice s | sent | received | concealed % | dropped % | max queue | latency p50 ms | "
        "latency p99 ms | CPU ms / min of voice | peak RSS MB | RSS without routed PCM MB | end |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|\n",
        stdout);
}

const char* resultText(int32_t result) {
    switch (result) {
        case kResultOk: return "ok";
        case kResultAborted: return "Aborted (-28)";
        case kResultNoAudio: return "no audio (-29)";
        default: return "error";
    }
}

int runProfile(const Profile& profile, uint32_t voiceSeconds) {
    const uint32_t voiceMs = voiceSeconds * 1000;
    SimulatorConfig config;
    config.control.listenAddress = "127.0.0.1";
    config.control.port = 0;
    config.recordPackets = false;
    config.maxRawLogBytes = 64 * 1024;
    config.media.signal = std::make_shared<phonesim::ChirpSignal>(300.0, 3400.0, 1000, 0.4);
    config.media.durationMs = voiceMs;
    config.media.recordPayloads = false;
    config.media.impairments.seed = 7;
    config.media.startDelayMs = profile.startDelayMs;
    if (profile.shape != nullptr) profile.shape(config.media.impairments);

    // Fork before this process has any thread (ALSA and the controller come
    // after), so the child is a clean copy.
    int fds[2];
    if (::pipe(fds) != 0) return 2;
    const pid_t child = ::fork();
    if (child < 0) return 2;
    if (child == 0) {
        ::close(fds[0]);
        runPhone(config, fds[1], voiceMs);
    }
    ::close(fds[1]);
    const int in = fds[0];

    uint8_t tag = 0;
    uint16_t port = 0;
    if (!readAll(in, &tag, 1, 10000) || tag != kMsgPort || !readAll(in, &port, sizeof port, 1000)) {
        std::fprintf(stderr, "%s: the simulator did not start\n", profile.name);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return 2;
    }

    vexlink::test::AlsaRouting alsa;  // before the controller touches ALSA
    Settings::setTransportType(kTransportWifi);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(port);
    Settings::setMediaPort(freeUdpPort());

    StateWaiter states;
    auto controller = std::make_unique<MicController>(&states);
    BenchProbe probe(*controller);
    if (profile.probe) controller->setLatencyProbe(&probe);
    controller->start();
    if (!states.waitConnected(20s)) {
        std::fprintf(stderr, "%s: not connected\n", profile.name);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return 2;
    }
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const uint64_t startUs = monotonicUs();

    // The voice, then the queue's drain (a flood's never drains).
    const bool mediaDone = readAll(in, &tag, 1, static_cast<int>(voiceMs) + 120000) && tag == kMsgMediaDone;
    const bool flood = config.media.impairments.flood > 1;
    if (profile.probe && !flood) probe.waitDrained(5s);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const double windowS = static_cast<double>(monotonicUs() - startUs) / 1e6;
    const PlayoutFigures figures = controller->playoutFigures();
    const bool endedEarly = states.disconnected();

    controller->stop();
    states.waitDisconnected(10s);
    const int32_t result = states.result();
    controller.reset();
    // Every frame thrown away unplayed: trimmed by the tick, or pushed out of
    // a full queue by the receive thread (the controller adds those to the
    // statistics when the connection ends).
    const uint32_t thrownAway = ReceptionStats::instance()->dropped;

    PhoneReport phone;
    if (!(readAll(in, &tag, 1, 20000) && tag == kMsgReport && readAll(in, &phone, sizeof phone, 1000))) {
        std::fprintf(stderr, "%s: no report from the simulator\n", profile.name);
    }
    ::close(in);
    ::waitpid(child, nullptr, 0);

    const uint64_t received = profile.probe ? probe.arrivals() : figures.freshFrames + figures.droppedFrames;
    const uint32_t concealed = profile.probe ? probe.concealedAtLastFresh() : figures.concealedTicks;
    const uint64_t fresh = profile.probe ? probe.written() : figures.freshFrames;
    const double concealedPct = fresh + concealed == 0 ? 0.0 : 100.0 * concealed / static_cast<double>(fresh + concealed);
    const double droppedPct = received == 0 ? 0.0 : 100.0 * thrownAway / static_cast<double>(received);
    const double cpuMsPerMin = (cpuSeconds(after) - cpuSeconds(before)) * 1000.0 * 60.0 / windowS;
    const double rssMb = static_cast<double>(after.ru_maxrss) / 1024.0;
    // The test routing's ALSA file plugin (over a null slave) keeps every
    // frame it is given in memory until the device closes, 1920 bytes per
    // tick that wrote one; a real loopback card holds none of it.
    const double routedMb =
        static_cast<double>(figures.freshFrames + figures.concealedTicks) * kFrameSamples * 2.0 / (1024.0 * 1024.0);

    char p50[32] = "–", p99[32] = "–";
    if (profile.probe) {
        std::vector<uint32_t>& lat = probe.latencies();
        std::snprintf(p50, sizeof p50, "%.1f", percentile(lat, 0.50));
        std::snprintf(p99, sizeof p99, "%.1f", percentile(lat, 0.99));
    }
    std::string end = endedEarly ? std::string("ended early: ") + resultText(result) : resultText(result);
    if (!mediaDone) end += ", voice unfinished";
    std::printf("| %s | %.1f | %llu | %llu | %.2f | %.2f | %d | %s | %s | %.0f | %.1f | %.1f | %s |\n", profile.name,
                windowS, static_cast<unsigned long long>(phone.sent + phone.duplicates),
                static_cast<unsigned long long>(received), concealedPct, droppedPct, figures.maxQueueDepth, p50, p99,
                cpuMsPerMin, rssMb, rssMb - routedMb, end.c_str());
    std::fflush(stdout);
    std::fprintf(stderr,
                 "%s: %s; generated %llu, lost %llu, duplicates %llu, reordered %llu, garbage %llu, send errors %llu; "
                 "fresh %llu, concealed %u, trimmed %u, pushed out of the full queue %lld; largest gap between arrivals %.0f ms, between fresh "
                 "writes %.0f ms; latency samples %zu, unmatched %llu, ring full %llu\n",
                 profile.name, profile.what, static_cast<unsigned long long>(phone.generated),
                 static_cast<unsigned long long>(phone.lost), static_cast<unsigned long long>(phone.duplicates),
                 static_cast<unsigned long long>(phone.reordered), static_cast<unsigned long long>(phone.garbage),
                 static_cast<unsigned long long>(phone.sendErrors), static_cast<unsigned long long>(fresh), concealed,
                 figures.droppedFrames, static_cast<long long>(thrownAway) - static_cast<long long>(figures.droppedFrames),
                 probe.maxArrivalGapUs() / 1000.0, probe.maxWriteGapUs() / 1000.0,
                 probe.latencies().size(), static_cast<unsigned long long>(probe.unmatched()),
                 static_cast<unsigned long long>(probe.ringFull()));
    return 0;
}

void usage() {
    std::fprintf(stderr, "usage: end_to_end_bench --profile NAME [--seconds N] | --header | --list\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string profileName;
    uint32_t seconds = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--header") {
            printHeader();
            return 0;
        }
        if (arg == "--list") {
            for (const Profile& p : kProfiles) std::printf("%s\t%s\n", p.name, p.what);
            return 0;
        }
        if (arg == "--profile" && i + 1 < argc) {
            profileName = argv[++i];
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            usage();
            return 1;
        }
    }
    if (seconds == 0) seconds = 1;
    for (const Profile& p : kProfiles) {
        if (profileName == p.name) return runProfile(p, seconds);
    }
    usage();
    return 1;
}
