// The whole client under real-time voice, one network profile and one
// playout strategy per run:
//
//   end_to_end_bench --profile loss-5% --strategy tick|adaptive|adaptive-codec
//                    [--batch alone|batched] [--seconds N]
//                                              one run: a record line on stdout,
//                                              a details line on stderr
//   end_to_end_bench --profile jitter-30ms --strategy adaptive --output pipewire [--quantum 256]
//                                              the same on the PipeWire output
//   end_to_end_bench --list                    profile, voice seconds, description,
//                                              the extra runs it takes (codec, pipewire)
//   end_to_end_bench --render RECORDS          the markdown tables of the records
//
// The client is the real MicController of this process (event, receive and
// timer threads, the UDP media socket, libopus, a loopback writer of the
// run's own with ALSA routed to a file) with a BenchProbe installed. The
// phone is the simulator in a child process forked before any thread exists
// (PhoneProcess), so that this process's getrusage counts the client alone.
// After the run the benchmark closes its writer, reads the PCM that reached
// the loopback device, and measures it against the simulator's send times
// and a reference decode (RunAnalysis). One run per process: the
// process-wide playout counters, the peak RSS and the ALSA configuration all
// start fresh. scripts/bench-e2e.sh runs them all and writes
// bench/results/end-to-end.md.
//
// On the PipeWire output (PipeWireRun) the controller's adaptive playout is
// pulled by its "vexlink" node in a private PipeWire session, and the
// benchmark's own capture stream records the node; the output measured is
// what the node handed to the graph, and each frame is also found in the
// capture for the send -> capture delay (CaptureTiming). The capture's data
// thread is left out of the CPU figure.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "AdaptiveStrategyView.h"
#include "AlsaRouting.h"
#include "BenchProbe.h"
#include "CaptureTiming.h"
#include "PhoneProcess.h"
#include "PipeWireRun.h"
#include "ReferenceVoice.h"
#include "ResultTable.h"
#include "RunAnalysis.h"
#include "TickStrategyView.h"
#include "audio/AlsaApi.h"
#include "audio/AudioFormat.h"
#include "audio/LoopbackWriter.h"
#include "control/AdaptiveFeed.h"
#include "control/ControllerTypes.h"
#include "control/MicController.h"
#include "media/ReceptionStats.h"
#include "platform/Clock.h"
#include "settings/Settings.h"
#include "tools/phonesim/MediaSender.h"
#include "tools/phonesim/TremoloSignal.h"

namespace {

using namespace vexlink;
using namespace vexlink::bench;
using namespace std::chrono_literals;
using phonesim::ImpairmentConfig;
using phonesim::SimulatorConfig;

constexpr int64_t kSeed = 7;

struct Profile {
    const char* name;
    const char* what;
    uint32_t seconds;                                  // voice
    void (*shape)(ImpairmentConfig&) = nullptr;
    // Voice starts this long after the Start reply; the client starts its
    // 20 ms tick right after that reply, so this is the phase of the
    // arrivals against the tick.
    uint32_t startDelayMs = 10;
    bool probe = true;
    int32_t fecLossPercent = 0;
    int64_t eventFromMs = -1;                          // media time, for recovery (and exclusion)
    int64_t eventToMs = -1;
    bool excludeEvent = false;
};

void stall(ImpairmentConfig& i) {
    i.stallAtMs = 10000;
    i.stallForMs = 2000;
}
void jitterStep(ImpairmentConfig& i) {
    i.jitterSpans[0] = {20000, 40000, 30};
    i.jitterSpanCount = 1;
}
void loss5(ImpairmentConfig& i) { i.loss = 0.05; }
void bursty10(ImpairmentConfig& i) {
    i.burstGoodToBad = 0.0278;
    i.burstBadToGood = 0.25;
    i.burstLossInBad = 1.0;
}

const Profile kProfiles[] = {
    {"unimpaired-phase0", "no impairment, voice sent right after the Start reply (at the tick)", 20, nullptr, 0},
    {"unimpaired-phase5", "no impairment, voice 5 ms off the tick", 20, nullptr, 5},
    {"unimpaired-phase10", "no impairment, voice 10 ms off the tick", 20, nullptr, 10},
    {"unimpaired-phase15", "no impairment, voice 15 ms off the tick", 20, nullptr, 15},
    {"unimpaired-phase19", "no impairment, voice 19 ms off the tick", 20, nullptr, 19},
    {"unimpaired-noprobe", "no impairment, no probe installed (CPU and memory only)", 20, nullptr, 10, false},
    {"jitter-20ms", "uniform extra delay 0..20 ms", 30, [](ImpairmentConfig& i) { i.jitterMs = 20; }},
    {"jitter-30ms", "uniform extra delay 0..30 ms", 30, [](ImpairmentConfig& i) { i.jitterMs = 30; }},
    {"jitter-step-0-30-0", "no jitter for 20 s, 0..30 ms for 20 s, none for 35 s", 75, jitterStep, 10, true, 0, 20000,
     40000},
    {"loss-5%", "5% independent loss", 30, loss5},
    {"bursty-loss-10%", "10% loss in bursts of 4 on average", 30, bursty10},
    {"loss-5%-fec", "5% independent loss, in-band FEC sent (tuned for 10%)", 30, loss5, 10, true, 10},
    {"bursty-loss-10%-fec", "10% loss in bursts of 4, in-band FEC sent (tuned for 10%)", 30, bursty10, 10, true, 10},
    {"reorder-10%", "10% held behind the next packet", 30,
     [](ImpairmentConfig& i) {
         i.reorder = 0.1;
         i.reorderDepth = 1;
     }},
    {"duplicates-10%", "10% sent twice, 0..30 ms apart", 30,
     [](ImpairmentConfig& i) {
         i.duplicate = 0.1;
         i.duplicateMaxDelayMs = 30;
     }},
    {"clock+300ppm", "sender clock 300 ppm fast", 60, [](ImpairmentConfig& i) { i.clockPpm = 300.0; }},
    {"clock-300ppm", "sender clock 300 ppm slow", 60, [](ImpairmentConfig& i) { i.clockPpm = -300.0; }},
    {"clock+3000ppm", "sender clock 3000 ppm fast (a frame's worth every 7 s)", 60,
     [](ImpairmentConfig& i) { i.clockPpm = 3000.0; }},
    {"clock-3000ppm", "sender clock 3000 ppm slow (a frame's worth every 7 s)", 60,
     [](ImpairmentConfig& i) { i.clockPpm = -3000.0; }},
    {"stall-2s", "nothing sent for 2 s at 10 s, then the held packets at once", 30, stall, 10, true, 0, 10000, 12000,
     true},
    {"garbage", "a junk datagram every other packet (1..200 or 1025..2048 random bytes)", 20,
     [](ImpairmentConfig& i) {
         i.garbageRate = 0.5;
         i.garbageKinds = phonesim::kGarbageRandom | phonesim::kGarbageOversized;
     }},
    {"flood-10x", "500 packets a second (10x)", 20, [](ImpairmentConfig& i) { i.flood = 10; }},
};

// Profiles run beyond the tick and the adaptive playout with fade: the
// codec's concealment on the losses (and on the unimpaired run its target is
// held against), and the PipeWire output on a few.
bool runsCodec(const Profile& p) {
    for (const char* name : {"unimpaired-phase10", "loss-5%", "bursty-loss-10%", "loss-5%-fec", "bursty-loss-10%-fec"}) {
        if (std::string(name) == p.name) return true;
    }
    return false;
}
bool runsPipeWire(const Profile& p) {
    for (const char* name : {"unimpaired-phase10", "jitter-30ms", "clock+3000ppm", "clock-3000ppm"}) {
        if (std::string(name) == p.name) return true;
    }
    return false;
}

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

double cpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

const char* resultText(int32_t result) {
    switch (result) {
        case kResultOk: return "ok";
        case kResultAborted: return "Aborted (-28)";
        case kResultNoAudio: return "no audio (-29)";
        default: return "error";
    }
}

// One record line: tab-separated key=value, "–" for what is unknown.
class Record {
public:
    explicit Record(const char* kind) { text_ = std::string("kind=") + kind; }
    Record& text(const char* key, const std::string& v) {
        text_ += std::string("\t") + key + "=" + (v.empty() ? "–" : v);
        return *this;
    }
    Record& real(const char* key, double v, int decimals = 1) {
        if (std::isnan(v)) return text(key, "–");
        if (std::isinf(v)) return text(key, "never");
        char b[48];
        std::snprintf(b, sizeof b, "%.*f", decimals, v);
        return text(key, b);
    }
    Record& count(const char* key, int64_t v) { return v < 0 ? text(key, "–") : text(key, std::to_string(v)); }
    const std::string& line() const { return text_; }

private:
    std::string text_;
};

std::string list(const std::vector<double>& values, int decimals) {
    std::string s;
    for (double v : values) {
        char b[32];
        std::snprintf(b, sizeof b, std::isnan(v) ? "–" : "%.*f", decimals, v);
        if (!s.empty()) s += ' ';
        s += b;
    }
    return s;
}

// The strategy the run measures: the queue-paced tick, or the adaptive
// playout with repeat-and-fade or the codec's concealment. Version 4 plays
// adaptive unless told otherwise; the benchmark always says which.
std::unique_ptr<StrategyView> selectStrategy(const std::string& name, MicController& controller) {
    if (name == "tick") {
        Settings::setPlayoutMode(PlayoutMode::Queue);
        return std::make_unique<TickStrategyView>(controller, *ReceptionStats::instance());
    }
    if (name == "adaptive" || name == "adaptive-codec") {
        Settings::setPlayoutMode(PlayoutMode::Adaptive);
        Settings::setConcealment(name == "adaptive" ? Concealment::Fade : Concealment::Codec);
        return std::make_unique<AdaptiveStrategyView>(controller, *ReceptionStats::instance(),
                                                      name == "adaptive" ? "adaptive" : "adaptive-codec");
    }
    return nullptr;
}

// Where the voice goes: the loopback device routed to a file, or the
// PipeWire node of a private session, the graph at `quantum` (0: its
// default), recorded by the benchmark's own capture stream.
struct OutputChoice {
    bool pipewire = false;
    int32_t quantum = 0;
    std::string dumpPath;  // every real frame heard, for a closer look at one run
};

// One line per frame the simulator made: index, its send and first arrival
// times and, when it was heard, its output sample and when it was heard
// (microseconds, CLOCK_MONOTONIC; -1: none).
void dumpFrames(const std::string& path, const std::vector<PlayedFrame>& played, const std::vector<SentFrame>& sent,
                const std::vector<uint64_t>& arrivals) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return;
    std::vector<const PlayedFrame*> first(sent.size(), nullptr);
    for (const PlayedFrame& p : played) {
        if (p.index < first.size() && first[p.index] == nullptr) first[p.index] = &p;
    }
    std::fprintf(f, "index\tsent_us\tarrived_us\toutput\theard_us\n");
    for (size_t i = 0; i < sent.size(); ++i) {
        const long long arrived = i < arrivals.size() && arrivals[i] != 0 ? static_cast<long long>(arrivals[i]) : -1;
        std::fprintf(f, "%zu\t%lld\t%lld\t%lld\t%lld\n", i, static_cast<long long>(sent[i].firstSendUs), arrived,
                     first[i] ? static_cast<long long>(first[i]->outputSample) : -1LL,
                     first[i] ? static_cast<long long>(first[i]->nowUs) : -1LL);
    }
    std::fclose(f);
}

int runProfile(const Profile& profile, const std::string& strategy, const std::string& batch, uint32_t seconds,
               const OutputChoice& outputChoice) {
    const uint32_t voiceMs = seconds * 1000;
    SimulatorConfig config;
    config.control.listenAddress = "127.0.0.1";
    config.control.port = 0;
    config.maxRawLogBytes = 64 * 1024;
    config.media.signal = std::make_shared<phonesim::TremoloSignal>();
    config.media.durationMs = voiceMs;
    config.media.impairments.seed = kSeed;
    config.media.startDelayMs = profile.startDelayMs;
    config.media.fecLossPercent = profile.fecLossPercent;
    if (profile.shape != nullptr) profile.shape(config.media.impairments);
    const uint32_t flood = std::max<uint32_t>(1, config.media.impairments.flood);
    const size_t plannedFrames = phonesim::MediaSender::plannedPackets(config.media);

    PhoneProcess phone(config, voiceMs);
    std::string error;
    if (!phone.start(&error)) {
        std::fprintf(stderr, "%s: %s\n", profile.name, error.c_str());
        return 2;
    }

    const bool pipewire = outputChoice.pipewire;
    std::optional<vexlink::test::AlsaRouting> alsa;
    std::unique_ptr<PipeWireRun> graph;
    if (pipewire) {
        // Room for the output from the node's first cycle to its last.
        graph = std::make_unique<PipeWireRun>(seconds + 60);
        if (!graph->start(outputChoice.quantum, &error)) {
            std::fprintf(stderr, "%s: %s\n", profile.name, error.c_str());
            return 2;
        }
        Settings::setOutput(OutputKind::PipeWire);
    } else {
        alsa.emplace();  // before anything touches ALSA
    }
    Settings::setTransportType(kTransportWifi);
    Settings::setWifiServerAddr("127.0.0.1");
    Settings::setControlPort(phone.port());
    Settings::setMediaPort(freeUdpPort());

    auto writer = pipewire ? nullptr : std::make_unique<LoopbackWriter>(realAlsaApi());
    StateWaiter states;
    auto controller = std::make_unique<MicController>(&states, writer.get());
    std::unique_ptr<StrategyView> view = selectStrategy(strategy, *controller);
    if (!view || (pipewire && strategy == "tick")) {
        std::fprintf(stderr, "%s: no strategy \"%s\" (known: tick, adaptive, adaptive-codec; PipeWire: adaptive ones)\n",
                     profile.name, strategy.c_str());
        return 2;
    }
    BenchProbe probe(*view, plannedFrames + 16);
    if (profile.probe) controller->setLatencyProbe(&probe);
    // The PipeWire node pulls the adaptive playout (the controller's graph
    // source is its AdaptiveFeed) and is recorded from before the connection.
    if (pipewire && !graph->open(static_cast<AdaptiveFeed&>(controller->graphSource()),
                                 profile.probe ? &probe : nullptr, &error)) {
        std::fprintf(stderr, "%s: %s\n", profile.name, error.c_str());
        return 2;
    }
    controller->start();
    if (!states.waitConnected(20s)) {
        std::fprintf(stderr, "%s: not connected\n", profile.name);
        return 2;
    }
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const uint64_t captureCpuBeforeUs = graph ? graph->captureCpuUs() : 0;
    const uint64_t startUs = monotonicUs();

    // The voice, then the playout's drain (a flood's never drains).
    const bool mediaDone = phone.waitMediaDone(static_cast<int>(voiceMs) + 120000);
    if (profile.probe && flood == 1) probe.waitDrained(1s, 5s);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    // The benchmark's capture stream runs in this process; its data thread is not the client.
    const double captureCpuS = graph ? static_cast<double>(graph->captureCpuUs() - captureCpuBeforeUs) / 1e6 : 0.0;
    const double windowS = static_cast<double>(monotonicUs() - startUs) / 1e6;
    const bool endedEarly = states.disconnected();

    controller->stop();
    states.waitDisconnected(10s);
    const int32_t result = states.result();
    // Discards are complete once the connection has ended; concealment is
    // taken as it stood at the last real frame.
    bench::PlayoutCounters counters = view->counters();
    const bench::PlayoutCounters atLast = profile.probe ? probe.countersAtLastFrame() : counters;
    counters.concealed = atLast.concealed;
    counters.concealedLost = atLast.concealedLost;
    counters.concealedLate = atLast.concealedLate;
    counters.concealedUnderrun = atLast.concealedUnderrun;
    // Without the probe: what the strategy itself counted.
    const PlayoutFigures tickFigures = controller->playoutFigures();
    const uint64_t playedByStrategy =
        strategy == "tick" ? tickFigures.freshFrames : controller->adaptiveFigures().framesPlayed;
    if (graph) graph->close();  // the node and the capture end: the records are complete
    view.reset();
    controller.reset();
    writer.reset();  // closes the device: the routed file is complete

    PhoneReport report;
    std::vector<SentFrame> sent;
    if (!phone.finish(report, sent)) std::fprintf(stderr, "%s: no report from the simulator\n", profile.name);

    const double cpuMsPerMin = (cpuSeconds(after) - cpuSeconds(before) - captureCpuS) * 1000.0 * 60.0 / windowS;
    const double rssMb = static_cast<double>(after.ru_maxrss) / 1024.0;
    const std::vector<int16_t> output = graph ? graph->output() : alsa->readLoopback();
    // The test routing's ALSA file plugin (over a null slave) keeps every
    // sample it is given in memory until the device closes; a real loopback
    // card holds none of it. On PipeWire: the run's own records.
    const double routedMb =
        graph ? graph->recordsMb() : static_cast<double>(output.size()) * 2.0 / (1024.0 * 1024.0);
    const std::vector<int16_t> reference = referenceVoice(config.media, sent.size());
    // A frame is heard when its first sample goes out: the write that carries
    // it, plus the sample's place in it (the probe's time already has it; on
    // PipeWire the tap adds the place in the cycle).
    std::vector<PlayedFrame> played = probe.played();
    AnalysisInput in;
    in.sent = &sent;
    in.firstArrivalUs = &probe.firstArrivalUs();
    in.played = &played;
    in.output = &output;
    in.reference = &reference;
    in.frameMediaMs = 20.0 / flood;
    in.eventFromMs = profile.eventFromMs;
    in.eventToMs = profile.eventToMs;
    in.excludeEvent = profile.excludeEvent;
    const RunFigures f = analyseRun(in);
    if (!outputChoice.dumpPath.empty()) dumpFrames(outputChoice.dumpPath, played, sent, probe.firstArrivalUs());
    CaptureFigures capture;
    uint32_t quantum = 0;
    if (graph) {
        const std::vector<int16_t> captured = graph->captured();
        const std::vector<PipeWireCapture::Buffer> buffers = graph->buffers();
        CaptureInput c;
        c.sent = &sent;
        c.played = &played;
        c.output = &output;
        c.captured = &captured;
        c.buffers = &buffers;
        capture = timeCapture(c);
        quantum = graph->quantum();
    }

    std::vector<BenchProbe::ControlSample> control = probe.controlSamples();
    std::vector<double> targets;
    for (const auto& c : control) targets.push_back(c.targetMs);

    const uint64_t arrived = profile.probe ? probe.arrivals() : ReceptionStats::instance()->received;
    const double playedReal = static_cast<double>(profile.probe ? played.size() : playedByStrategy);
    const double concealedPct =
        counters.concealed < 0 ? std::nan("") : 100.0 * counters.concealed / (playedReal + counters.concealed);
    const double discardedPct =
        counters.discarded < 0 || arrived == 0 ? std::nan("") : 100.0 * counters.discarded / static_cast<double>(arrived);
    std::string end = endedEarly ? std::string("ended early: ") + resultText(result) : resultText(result);
    if (!mediaDone) end += ", voice unfinished";
    const bool measured = profile.probe;
    auto m = [&](double v) { return measured ? v : std::nan(""); };

    Record r("run");
    r.text("profile", profile.name).text("strategy", strategy).text("batch", batch);
    if (graph) {
        r.text("output", "pipewire").count("quantum", quantum).text("forced", outputChoice.quantum > 0 ? "yes" : "no");
        r.real("sc_p50", m(capture.sendCapture.p50)).real("sc_p99", m(capture.sendCapture.p99));
        r.real("located", m(capture.frames == 0 ? std::nan("") : 100.0 * capture.located / capture.frames), 1);
    }
    r.real("voice_s", windowS).count("sent", static_cast<int64_t>(report.sent + report.duplicates));
    r.count("arrived", static_cast<int64_t>(arrived));
    r.real("net_loss", report.generated == 0 ? std::nan("") : 100.0 * report.lost / static_cast<double>(report.generated), 2);
    r.real("concealed", concealedPct, 2).count("concealed_n", counters.concealed);
    r.count("c_lost", counters.concealedLost).count("c_late", counters.concealedLate).count("c_underrun", counters.concealedUnderrun);
    r.real("discarded", discardedPct, 2).count("discarded_n", counters.discarded);
    r.count("d_dup", counters.discardedDuplicate).count("d_late", counters.discardedLate);
    r.count("d_flush", counters.discardedFlush).count("d_overflow", counters.discardedOverflow);
    r.count("fec", counters.fecRecovered).count("isolated", static_cast<int64_t>(f.isolatedLosses));
    r.count("recovered", measured ? static_cast<int64_t>(f.isolatedRecovered) : -1);
    r.count("played_n", measured ? static_cast<int64_t>(f.played) : -1);
    r.count("ooo", measured ? static_cast<int64_t>(f.outOfOrder) : -1);
    r.count("twice", measured ? static_cast<int64_t>(f.playedTwice) : -1);
    r.count("slips10", measured ? static_cast<int64_t>(f.slipsAfter10s) : -1);
    r.real("clicks_min", m(f.spanSeconds > 0 ? f.clicks * 60.0 / f.spanSeconds : std::nan("")), 1);
    r.count("clicks10", measured ? static_cast<int64_t>(f.clicksAfter10s) : -1);
    r.real("snr_real", m(f.snrReal)).real("snr_conc", m(f.snrConcealed));
    r.real("sw_p50", m(f.sendWrite.p50)).real("sw_p99", m(f.sendWrite.p99));
    r.real("sw_out_p99", profile.excludeEvent ? f.sendWriteOutside.p99 : std::nan(""));
    r.real("aw_p50", m(f.arrivalWrite.p50)).real("aw_p99", m(f.arrivalWrite.p99));
    r.real("recovery", m(f.recoverySeconds), 0).real("baseline", m(f.baselineP50));
    const double clockPpm = config.media.impairments.clockPpm;
    r.real("ratio", m(f.ratePpm), 0).real("ratio_set", clockPpm != 0.0 ? clockPpm : std::nan(""), 0);
    r.real("target_p50", percentile(targets, 0.5)).real("target_max", percentile(targets, 1.0));
    r.count("max_depth", counters.maxDepth);
    r.real("cpu", cpuMsPerMin, 0).real("rss", rssMb).real("rss_net", rssMb - routedMb);
    r.text("end", end);
    std::printf("%s\n", r.line().c_str());
    std::fflush(stdout);

    const std::string label = graph ? strategy + ", pipewire quantum " + std::to_string(quantum) : strategy;
    std::fprintf(stderr,
                 "%s [%s, %s]: %s; simulator: generated %llu, lost %llu, duplicates %llu, reordered %llu, garbage "
                 "%llu, send errors %llu; probe: arrivals %llu, real frames played %zu, index out of range %llu, "
                 "log full %llu; output %.1f s, real segments %zu, concealed segments %zu; send->write p50 ms per 5 s: "
                 "%s%s%s\n",
                 profile.name, label.c_str(), batch.c_str(), profile.what,
                 static_cast<unsigned long long>(report.generated), static_cast<unsigned long long>(report.lost),
                 static_cast<unsigned long long>(report.duplicates), static_cast<unsigned long long>(report.reordered),
                 static_cast<unsigned long long>(report.garbage), static_cast<unsigned long long>(report.sendErrors),
                 static_cast<unsigned long long>(probe.arrivals()), played.size(),
                 static_cast<unsigned long long>(probe.outOfRange()), static_cast<unsigned long long>(probe.logFull()),
                 static_cast<double>(output.size()) / kSampleRate, f.realSegments, f.concealedSegments,
                 list(f.p50Per5s, 1).c_str(), targets.empty() ? "" : "; target ms per second: ",
                 list(targets, 0).c_str());
    return 0;
}

int render(const std::string& path) {
    std::vector<std::string> order;
    for (const Profile& p : kProfiles) order.push_back(p.name);
    ResultTable table(order);
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    std::string line;
    while (std::getline(in, line)) table.add(line);
    table.print(stdout);
    return 0;
}

void usage() {
    std::fprintf(stderr,
                 "usage: end_to_end_bench --profile NAME [--strategy tick|adaptive|adaptive-codec] [--batch alone|batched]\n"
                 "                        [--seconds N] [--output alsa|pipewire [--quantum N]] [--dump FRAMES.tsv]\n"
                 "       end_to_end_bench --list | --render RECORDS\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string profileName, strategy = "tick", batch = "batched";
    uint32_t seconds = 0;
    OutputChoice output;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--list") {
            for (const Profile& p : kProfiles) {
                const std::string extra = std::string(runsCodec(p) ? "codec " : "") + (runsPipeWire(p) ? "pipewire" : "");
                std::printf("%s\t%u\t%s\t%s\n", p.name, p.seconds, p.what, extra.empty() ? "-" : extra.c_str());
            }
            return 0;
        }
        if (arg == "--render" && more) return render(argv[++i]);
        if (arg == "--profile" && more) {
            profileName = argv[++i];
        } else if (arg == "--strategy" && more) {
            strategy = argv[++i];
        } else if (arg == "--batch" && more) {
            batch = argv[++i];
        } else if (arg == "--seconds" && more) {
            seconds = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--output" && more) {
            output.pipewire = std::string(argv[++i]) == "pipewire";
        } else if (arg == "--dump" && more) {
            output.dumpPath = argv[++i];
        } else if (arg == "--quantum" && more) {
            output.quantum = static_cast<int32_t>(std::strtol(argv[++i], nullptr, 10));
        } else {
            usage();
            return 1;
        }
    }
    for (const Profile& p : kProfiles) {
        if (profileName == p.name) return runProfile(p, strategy, batch, seconds > 0 ? seconds : p.seconds, output);
    }
    usage();
    return 1;
}
