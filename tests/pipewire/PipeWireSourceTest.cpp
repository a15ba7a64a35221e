#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <numeric>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "PipeWireSession.h"
#include "audio/AudioFormat.h"
#include "audio/SampleSource.h"
#include "pipewire/PipeWireSource.h"
#include "platform/Clock.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using test::PipeWireSession;

constexpr int32_t kOpenMs = 20000;    // against the tests' own daemons on a loaded machine
constexpr int16_t kPeriod = 30000;    // the counter runs 1, 2, ..., kPeriod, 1, ...: never 0
constexpr int16_t kGarbage = -12345;  // what the source leaves past the samples it returns

// Serves a counter, so that a recording shows any sample lost, repeated or
// not the source's. Call k gives the fraction parts[k % n] of the request
// and leaves garbage in the rest, as a playout with nothing yet may.
class CounterSource : public SampleSource {
public:
    explicit CounterSource(std::vector<double> parts = {1.0}) : parts_(std::move(parts)) {}

    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs) override {
        const uint64_t k = calls++;
        const auto give = static_cast<int32_t>(samples * parts_[k % parts_.size()]);
        for (int32_t i = 0; i < samples; ++i) {
            out[i] = i < give ? (counter_ = static_cast<int16_t>(counter_ % kPeriod + 1)) : kGarbage;
        }
        silent += samples - give;
        minAsked = std::min(minAsked.load(), samples);
        maxAsked = std::max(maxAsked.load(), samples);
        if (k == 0) firstNowUs = nowUs;
        lastNowUs = nowUs;
        return give;
    }

    std::atomic<uint64_t> calls{0}, silent{0}, firstNowUs{0}, lastNowUs{0};
    std::atomic<int32_t> minAsked{INT32_MAX}, maxAsked{0};

private:
    std::vector<double> parts_;
    int16_t counter_ = 0;
};

// What a recording holds past the zeros before the node's first cycle.
struct Recording {
    size_t samples = 0, zeros = 0, foreign = 0;
    size_t lostRuns = 0;  // the counter skips a multiple of `unit`: whole pulls missing
    size_t breaks = 0;    // it jumps by anything else
};

Recording analyse(const std::vector<int16_t>& pcm, int32_t unit) {
    Recording r;
    int16_t last = 0;
    for (auto it = std::find_if(pcm.begin(), pcm.end(), [](int16_t v) { return v != 0; }); it != pcm.end(); ++it) {
        ++r.samples;
        if (*it == 0) {
            ++r.zeros;
        } else if (*it < 1 || *it > kPeriod) {
            ++r.foreign;
        } else {
            const int32_t skipped = (*it - last - 1 + kPeriod) % kPeriod;
            if (last != 0 && skipped != 0) ++(skipped % unit == 0 ? r.lostRuns : r.breaks);
            last = *it;
        }
    }
    // pw-record keeps its file on a normal-priority thread: on a loaded
    // machine it falls behind the graph now and then and misses a cycle.
    EXPECT_EQ(0u, r.foreign);
    EXPECT_EQ(0u, r.breaks);
    EXPECT_LE(r.lostRuns * 4, r.samples / unit) << "cycles lost on the way to the recorder";
    return r;
}

class PipeWireSourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.start()) << session.daemonLog(); }

    std::string sources() {
        std::string out;
        session.run({"pactl", "list", "sources"}, &out);
        return out;
    }

    // Forces the graph's quantum, opens the node and records `samples` of it.
    std::vector<int16_t> record(PipeWireSource& node, int32_t quantum, int32_t samples) {
        EXPECT_EQ(0, session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                                  std::to_string(quantum)}));
        EXPECT_TRUE(node.open(kOpenMs)) << node.error();
        auto recorder = session.spawn({"pw-record", "--target", PipeWireSource::kNodeName, "--rate",
                                       std::to_string(kSampleRate), "--channels", "1", "--format", "s16", "-"});
        EXPECT_TRUE(PipeWireSession::waitUntil([&] { return recorder->stdoutText().size() >= 2u * samples; }, 30s))
            << recorder->stderrText() << session.daemonLog();
        recorder->signal(SIGINT);
        recorder->wait(10s);
        node.close();
        const std::string raw = recorder->stdoutText();
        std::vector<int16_t> pcm(raw.size() / 2);
        if (!pcm.empty()) std::memcpy(pcm.data(), raw.data(), pcm.size() * 2);
        return pcm;
    }

    PipeWireSession session;
};

TEST_F(PipeWireSourceTest, ListedAsAMicrophoneOnlyWhileOpen) {
    EXPECT_TRUE(PipeWireSource::daemonAnswers());
    CounterSource source;
    PipeWireSource node(source);
    ASSERT_TRUE(node.open(kOpenMs)) << node.error();
    ASSERT_TRUE(PipeWireSession::waitUntil([&] { return sources().find("Phone microphone") != std::string::npos; }, 30s));
    const std::string listed = sources();
    EXPECT_NE(std::string::npos, listed.find("\tName: vexlink\n\tDescription: Phone microphone\n")) << listed;
    EXPECT_NE(std::string::npos, listed.find(": s16le 1ch 48000Hz\n")) << listed;
    EXPECT_EQ(0u, source.calls.load()) << "pulled while nothing records";

    node.close();
    EXPECT_TRUE(PipeWireSession::waitUntil([&] { return sources().find("Phone microphone") == std::string::npos; }, 30s));
}

struct Pulls {
    int32_t quantum;
    std::vector<double> parts;  // of each request the source gives, in turn
};
void PrintTo(const Pulls& p, std::ostream* os) { *os << p.quantum; }

// Quanta below and above a voice frame and half of one (not a power of
// two); at 1024 the source gives all, nothing yet and half in turn.
class PipeWireRecordTest : public PipeWireSourceTest, public ::testing::WithParamInterface<Pulls> {};

TEST_P(PipeWireRecordTest, RecorderGetsEveryPulledSampleAndSilenceForTheRest) {
    const auto& [quantum, parts] = GetParam();
    CounterSource source(parts);
    PipeWireSource node(source);
    const uint64_t beforeUs = monotonicUs();
    const Recording r = analyse(record(node, quantum, kSampleRate / 2), quantum / 2);

    EXPECT_GE(r.samples, size_t{kSampleRate / 2});
    const double silentShare = 1.0 - std::accumulate(parts.begin(), parts.end(), 0.0) / parts.size();
    EXPECT_NEAR(silentShare, static_cast<double>(r.zeros) / r.samples, 0.15);
    EXPECT_EQ(source.silent.load(), node.silentSamples());
    EXPECT_EQ(quantum, source.minAsked.load());
    EXPECT_EQ(quantum, source.maxAsked.load());
    EXPECT_EQ(source.calls.load(), node.cycles());
    // Each cycle's time is the monotonic clock's, in microseconds.
    EXPECT_GE(source.firstNowUs.load(), beforeUs);
    EXPECT_LE(source.lastNowUs.load(), monotonicUs());
}

INSTANTIATE_TEST_SUITE_P(Quanta, PipeWireRecordTest,
                         ::testing::Values(Pulls{256, {1.0}}, Pulls{480, {1.0}}, Pulls{1024, {1.0, 0.0, 0.5}}),
                         [](const auto& info) { return std::to_string(info.param.quantum); });

// No daemon answers on a socket that accepts and never replies (no socket
// at all the front end's tests cover).
TEST(PipeWireNoDaemon, OpenFailsWithinItsBound) {
    PipeWireSession session;
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    (session.runtimeDir() + "/pipewire-0").copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listener, 8));
    CounterSource source;
    PipeWireSource node(source);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(node.open());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(PipeWireSource::kAnswerTimeoutMs) + 3s);
    EXPECT_FALSE(node.isOpen());
    EXPECT_EQ(0u, node.error().find("no PipeWire daemon answered")) << node.error();
    EXPECT_FALSE(PipeWireSource::daemonAnswers(200));
    close(listener);
}

}  // namespace
}  // namespace vexlink
