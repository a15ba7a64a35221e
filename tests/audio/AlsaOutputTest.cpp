#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <filesystem>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "AlsaRouting.h"
#include "audio/AlsaApi.h"
#include "audio/AudioFormat.h"
#include "audio/LocalPlayer.h"
#include "audio/LoopbackWriter.h"

namespace vexlink {
namespace {

using Log = std::vector<std::string>;

template <class... A>
std::string line(std::string what, A... args) {
    ((what += " " + std::to_string(args)), ...);
    return what;
}

// sample[i] = i, so a block's first sample shows where it starts.
std::vector<int16_t> ramp(size_t count) {
    std::vector<int16_t> pcm(count);
    std::iota(pcm.begin(), pcm.end(), int16_t{0});
    return pcm;
}

// A scripted device that logs every call; writei logs "writei <frames>@<first sample>".
struct FakeAlsa : AlsaApi {
    int openResult = 0, hwResult = 0, token = 0;
    std::deque<snd_pcm_sframes_t> results;  // of successive writes; then each takes all...
    std::optional<snd_pcm_sframes_t> stuck;  // ...or gets this
    Log log;

    int open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) override {
        if (openResult == 0) *pcm = reinterpret_cast<snd_pcm_t*>(&token);
        return note(line(std::string("open ") + name, stream, mode), openResult);
    }
    int setHwParams(snd_pcm_t*, snd_pcm_access_t a, snd_pcm_format_t f, unsigned c, unsigned r,
                    snd_pcm_uframes_t period) override {
        return note(line("hw", a, f, c, r, period), hwResult);
    }
    int setParams(snd_pcm_t*, snd_pcm_format_t f, snd_pcm_access_t a, unsigned c, unsigned r, int resample,
                  unsigned latency) override {
        return note(line("params", f, a, c, r, resample, latency));
    }
    snd_pcm_sframes_t writei(snd_pcm_t*, const void* buffer, snd_pcm_uframes_t frames) override {
        note(line("writei", frames) + "@" + std::to_string(*static_cast<const int16_t*>(buffer)));
        const snd_pcm_sframes_t r = results.empty() ? stuck.value_or(frames) : results.front();
        if (!results.empty()) results.pop_front();
        return r;
    }
    int close(snd_pcm_t*) override { return note("close"); }
    int prepare(snd_pcm_t*) override { return note("prepare"); }
    int recover(snd_pcm_t*, int err, int silent) override { return note(line("recover", err, silent)); }
    int wait(snd_pcm_t*, int ms) override { return note(line("wait", ms), 1); }
    int drain(snd_pcm_t*) override { return note("drain"); }
    int note(std::string text, int rc = 0) { return log.push_back(std::move(text)), rc; }
};

const std::vector<int16_t> kFrame = ramp(kFrameSamples);

TEST(LoopbackWriterFake, OpensTheLoopbackOnceAndAnUnderrunPreparesWithoutRewriting) {
    FakeAlsa alsa;
    {
        LoopbackWriter writer(alsa);
        EXPECT_EQ(alsa.log, (Log{"open plughw:CARD=Loopback,DEV=0,SUBDEV=0 0 0",
                                 line("hw", SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_FORMAT_S16_LE, 1, 48000, 960)}));
        alsa.log.clear();
        alsa.results = {-EPIPE, 500, -EBADFD};  // short writes and other errors are left alone
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(writer.write(kFrame.data(), kFrameSamples));
        EXPECT_TRUE(writer.write(kFrame.data(), 0) && writer.write(kFrame.data(), -960) && writer.write(nullptr, 960));
    }
    EXPECT_EQ(alsa.log, (Log{"writei 960@0", "prepare", "writei 960@0", "writei 960@0", "close"}));

    alsa.hwResult = -EINVAL;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(LoopbackWriter(alsa).isOpen());  // refused parameters: reported, the device kept
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "unable to set hw parameters: Invalid argument\n");
}

// An open player over a scripted device, with the open's calls cleared.
struct FakePlayer {
    FakeAlsa alsa;
    LocalPlayer player{kSampleRate, alsa};
    FakePlayer() {
        EXPECT_EQ(player.open(), 0);
        alsa.log.clear();
    }
    int32_t write() { return player.write(kFrame.data(), kFrameSamples); }
};

TEST(LocalPlayerFake, OpensTheDefaultDeviceOnceAndCloseDrains) {
    FakeAlsa alsa;
    LocalPlayer player(kSampleRate, alsa);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(player.open(), 0);  // the second keeps the handle
    for (int i = 0; i < 2; ++i) player.close();
    EXPECT_EQ(alsa.log, (Log{"open default 0 0",
                             line("params", SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, 48000, 0, 0),
                             "drain", "close"}));
}

TEST(LocalPlayerFake, WritesEveryFrameOnceThroughPartsRetriesAndUnderruns) {
    struct Case { std::deque<snd_pcm_sframes_t> results; int32_t rc; Log log; };
    const Case cases[] = {
        {{500, 460}, 0, {"writei 960@0", "wait 100", "writei 460@500"}},
        {{500, 5000}, 0, {"writei 960@0", "wait 100", "writei 460@500"}},  // a claim of more ends it, no overrun
        {{-EAGAIN}, 0, {"writei 960@0", "wait 100", "writei 960@0"}},
        {{-EPIPE}, 0, {"writei 960@0", "recover -32 0", "writei 960@0"}},
        {{300, -EPIPE, 400}, 0,
         {"writei 960@0", "wait 100", "writei 660@300", "recover -32 0", "writei 660@300", "writei 260@700"}},
        {{-EBADFD}, -1, {"writei 960@0"}},
    };
    for (const Case& c : cases) {
        FakePlayer p;
        p.alsa.results = c.results;
        EXPECT_EQ(p.write(), c.rc) << c.log.back();
        EXPECT_EQ(p.alsa.log, c.log);
    }
}

TEST(LocalPlayerFake, DeviceThatTakesNothingIsGivenUpAfterTheStallLimit) {
    for (snd_pcm_sframes_t result : {0L, long{-EAGAIN}, long{-EPIPE}}) {
        FakePlayer p;
        p.alsa.stuck = result;
        EXPECT_EQ(p.write(), -1);
        const long writes = (result == -EPIPE ? 2 : 1) * LocalPlayer::kMaxStalls;  // an underrun rewrites at once
        EXPECT_EQ(std::count(p.alsa.log.begin(), p.alsa.log.end(), "writei 960@0"), writes) << result;
    }
    FakePlayer p;  // progress starts the count again
    p.alsa.results = {0, 0, 0, 0, 100, -EAGAIN, -EAGAIN, -EAGAIN, -EAGAIN};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log.back(), "writei 860@100");
}

int openDescriptorsOn(const std::string& path) {
    int n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        n += std::filesystem::read_symlink(fd.path(), ec) == path;
    }
    return n;
}

TEST(AlsaRouted, FramesLandInOrderAndCompleteOnBothDevices) {
    test::AlsaRouting routing;
    const auto pcm = ramp(20 * kFrameSamples);
    testing::internal::CaptureStderr();
    {
        LoopbackWriter writer(realAlsaApi());
        LocalPlayer player(kSampleRate);
        ASSERT_TRUE(writer.isOpen());
        ASSERT_EQ(player.open(), 0);
        for (int k = 0; k < 20; ++k) EXPECT_TRUE(writer.write(pcm.data() + k * kFrameSamples, kFrameSamples));
        for (int k = 0; k < 10; ++k) EXPECT_EQ(player.write(pcm.data() + k * kFrameSamples, kFrameSamples), 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // parameters accepted
    EXPECT_EQ(routing.readLoopback(), pcm);
    EXPECT_EQ(routing.readDefault(), ramp(10 * kFrameSamples));
}

TEST(AlsaRouted, ProcessWideWriterOpensTheDeviceOnceAndTheCheckLeavesItsDeviceClosed) {
    test::AlsaRouting routing;
    LoopbackWriter* writer = LoopbackWriter::instance();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(LoopbackWriter::instance(), writer);
    EXPECT_TRUE(writer->isOpen());
    EXPECT_TRUE(isLoopbackAvailable());
    EXPECT_EQ(openDescriptorsOn(routing.loopbackPath()), 1);
    EXPECT_EQ(openDescriptorsOn(routing.checkPath()), 0);
}

TEST(AlsaRouted, WithoutDevicesWritesDoNothingAndTheCheckFails) {
    test::AlsaRouting routing(test::AlsaRouting::Mode::NoDevices);
    LoopbackWriter* writer = LoopbackWriter::instance();
    EXPECT_FALSE(writer->isOpen());
    EXPECT_TRUE(writer->write(kFrame.data(), kFrameSamples));
    EXPECT_FALSE(isLoopbackAvailable());
    LocalPlayer player(kSampleRate);
    EXPECT_EQ(player.open(), -1);
    EXPECT_EQ(player.write(kFrame.data(), kFrameSamples), 0);
    EXPECT_FALSE(std::filesystem::exists(routing.loopbackPath()));
}

}  // namespace
}  // namespace vexlink
