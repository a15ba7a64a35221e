#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "PipeWireSession.h"
#include "audio/AudioFormat.h"
#include "audio/PipeWireSource.h"
#include "audio/SampleSource.h"
#include "platform/Clock.h"

namespace vexlink {
namespace {

using namespace std::chrono_literals;
using test::PipeWireSession;

// Opening against the tests' own daemons on a loaded machine: generous.
constexpr int32_t kOpenMs = 20000;
constexpr int16_t kPeriod = 30000;    // the counter runs 1, 2, ..., kPeriod, 1, ...: never 0
constexpr int16_t kGarbage = -12345;  // what the source leaves past the samples it returns

// Serves a counter, so that a recording shows any sample lost, repeated or
// not the source's. Call k returns the fraction parts[k % n] of the request
// and leaves garbage in the rest, as a playout with nothing yet may.
class CounterSource : public SampleSource {
public:
    explicit CounterSource(std::vector<double> parts = {1.0}) : parts_(std::move(parts)) {}

    int32_t pull(int16_t* out, int32_t samples, uint64_t nowUs) override {
        const uint64_t k = calls.fetch_add(1);
        const auto give = static_cast<int32_t>(samples * parts_[k % parts_.size()]);
        for (int32_t i = 0; i < samples; ++i) {
            out[i] = i < give ? next() : kGarbage;
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
    int16_t next() { return counter_ = static_cast<int16_t>(counter_ % kPeriod + 1); }

    std::vector<double> parts_;
    int16_t counter_ = 0;
};

struct Recording {
    size_t samples = 0, zeros = 0, foreign = 0;
    size_t lostRuns = 0;  // places where whole pulls are missing
    size_t breaks = 0;    // places where the counter jumps by anything else
};

// Past the zeros before the node's first cycle reached the recorder. A
// recorder that falls behind the graph on a loaded machine (pw-record
// writes its file on a normal-priority thread) misses whole cycles; those
// show as the counter skipping a multiple of `unit`, the least a pull gives.
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
    return r;
}

// Most of the cycles reach the recorder, each whole.
void expectIntact(const Recording& r, int32_t unit) {
    EXPECT_EQ(0u, r.foreign);
    EXPECT_EQ(0u, r.breaks);
    EXPECT_LE(r.lostRuns * 4, r.samples / unit) << "cycles lost on the way to the recorder";
}

// The samples of a WAV file's data chunk, up to the end of the file (the
// header's length is not relied on).
std::vector<int16_t> readWav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    size_t at = 12;
    while (at + 8 <= bytes.size() && std::string(&bytes[at], 4) != "data") {
        uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        at += 8 + size + (size & 1);
    }
    std::vector<int16_t> pcm;
    if (at + 8 > bytes.size()) return pcm;
    pcm.resize((bytes.size() - at - 8) / 2);
    std::memcpy(pcm.data(), &bytes[at + 8], pcm.size() * 2);
    return pcm;
}

class PipeWireSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!session.start(&why)) {
            if (why.rfind("missing program", 0) == 0) GTEST_SKIP() << why;
            FAIL() << why;
        }
    }

    std::string sources() {
        std::string out;
        session.run({"pactl", "list", "sources"}, &out);
        return out;
    }

    // Records from the node with pw-record until `samples` are in.
    std::vector<int16_t> record(int32_t samples) {
        const std::string file = session.runtimeDir() + "/recording.wav";
        auto recorder = session.spawn({"pw-record", "--target", PipeWireSource::kNodeName, "--rate",
                                       std::to_string(kSampleRate), "--channels", "1", "--format", "s16", file});
        const bool enough = PipeWireSession::waitUntil(
            [&] {
                std::error_code missing;
                const auto size = std::filesystem::file_size(file, missing);
                return !missing && size >= 64 + 2u * samples;
            },
            30s);
        // Ended by SIGINT, pw-record closes the file and says 1 (not drained).
        recorder->signal(SIGINT);
        const int status = recorder->wait(10s);
        EXPECT_TRUE(status == 0 || status == 1) << status << ": " << recorder->stderrText();
        EXPECT_TRUE(enough) << "pw-record: " << recorder->stderrText() << "\ndaemons: " << session.daemonLog();
        return readWav(file);
    }

    void forceQuantum(int32_t quantum) {
        ASSERT_EQ(0, session.run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum",
                                  std::to_string(quantum)}));
    }

    PipeWireSession session;
};

TEST_F(PipeWireSourceTest, ListedAsAMicrophoneOnlyWhileOpen) {
    EXPECT_TRUE(PipeWireSource::daemonAnswers());
    CounterSource source;
    PipeWireSource node(source);
    ASSERT_TRUE(node.open(kOpenMs)) << node.error();
    ASSERT_TRUE(PipeWireSession::waitUntil([&] { return sources().find("Phone microphone") != std::string::npos; },
                                           30s))
        << sources();
    const std::string listed = sources();
    EXPECT_NE(std::string::npos, listed.find("\tName: vexlink\n")) << listed;
    EXPECT_NE(std::string::npos, listed.find("\tDescription: Phone microphone\n")) << listed;
    EXPECT_NE(std::string::npos, listed.find("\tSample Specification: s16le 1ch 48000Hz\n")) << listed;
    EXPECT_EQ(0u, source.calls.load()) << "pulled while nothing records";

    node.close();
    EXPECT_TRUE(PipeWireSession::waitUntil([&] { return sources().find("Phone microphone") == std::string::npos; },
                                           30s));
}

// Graph quanta: a power of two below and above a voice frame, and half a
// voice frame.
class PipeWireQuantumTest : public PipeWireSourceTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(PipeWireQuantumTest, RecorderGetsEverySampleFromPullsOfTheQuantum) {
    const int32_t quantum = GetParam();
    forceQuantum(quantum);
    CounterSource source;
    PipeWireSource node(source);
    const uint64_t beforeUs = monotonicUs();
    ASSERT_TRUE(node.open(kOpenMs)) << node.error();
    const Recording r = analyse(record(kSampleRate / 2), quantum);
    node.close();
    const uint64_t afterUs = monotonicUs();

    EXPECT_GE(r.samples, size_t{kSampleRate / 2});
    EXPECT_EQ(0u, r.zeros);
    expectIntact(r, quantum);
    EXPECT_EQ(quantum, source.minAsked.load());
    EXPECT_EQ(quantum, source.maxAsked.load());
    EXPECT_EQ(source.calls.load(), node.cycles());
    EXPECT_EQ(0u, node.silentSamples());
    // The cycles' times are monotonic microseconds within the run.
    EXPECT_GE(source.firstNowUs.load(), beforeUs);
    EXPECT_LE(source.lastNowUs.load(), afterUs);
}

INSTANTIATE_TEST_SUITE_P(Quanta, PipeWireQuantumTest, ::testing::Values(256, 480, 1024));

TEST_F(PipeWireSourceTest, WhatTheSourceDoesNotGiveIsSilence) {
    const int32_t quantum = 1024;
    forceQuantum(quantum);
    CounterSource source({1.0, 0.0, 0.5});  // all, nothing yet, half: half of it silence
    PipeWireSource node(source);
    ASSERT_TRUE(node.open(kOpenMs)) << node.error();
    const Recording r = analyse(record(kSampleRate / 2), quantum / 2);
    node.close();

    expectIntact(r, quantum / 2);
    EXPECT_NEAR(0.5, static_cast<double>(r.zeros) / r.samples, 0.15);
    EXPECT_EQ(source.silent.load(), node.silentSamples());
}

// No daemon: no socket at all, or a socket that accepts and never answers.
class PipeWireNoDaemonTest : public ::testing::TestWithParam<bool> {};

TEST_P(PipeWireNoDaemonTest, OpenFailsWithinItsBound) {
    PipeWireSession session;
    session.useWithoutDaemons();
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (GetParam()) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string path = session.runtimeDir() + "/pipewire-0";
        ASSERT_LT(path.size(), sizeof addr.sun_path);
        path.copy(addr.sun_path, path.size());
        ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        ASSERT_EQ(0, listen(listener, 8));
    }
    CounterSource source;
    PipeWireSource node(source);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(node.open());
    const auto took = std::chrono::steady_clock::now() - start;

    EXPECT_FALSE(node.isOpen());
    EXPECT_NE("", node.error());
    EXPECT_LT(took, std::chrono::milliseconds(PipeWireSource::kAnswerTimeoutMs) + 3s);
    EXPECT_FALSE(PipeWireSource::daemonAnswers(200));
    close(listener);
}

INSTANTIATE_TEST_SUITE_P(Daemons, PipeWireNoDaemonTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "SilentSocket" : "NoSocket"; });

}  // namespace
}  // namespace vexlink
