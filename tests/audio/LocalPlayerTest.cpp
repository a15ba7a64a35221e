#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "AlsaRouting.h"
#include "FakeAlsa.h"
#include "audio/AudioFormat.h"
#include "audio/LocalPlayer.h"

namespace vexlink {
namespace {

using test::FakeAlsa;
using test::rampFrame;
using Log = std::vector<std::string>;

const std::string kOpenDefault = "open default 0 0";
const std::string kParams = "params " + std::to_string(SND_PCM_FORMAT_S16_LE) + " " +
                            std::to_string(SND_PCM_ACCESS_RW_INTERLEAVED) + " 1 48000 0 0";

// An open player over a scripted device, with the open's calls cleared.
struct OpenPlayer {
    FakeAlsa alsa;
    LocalPlayer player{kSampleRate, alsa};
    std::vector<int16_t> frame = rampFrame();
    OpenPlayer() {
        EXPECT_EQ(player.open(), 0);
        alsa.log.clear();
    }
    int32_t write() { return player.write(frame.data(), kFrameSamples); }
};

TEST(LocalPlayerFake, OpenUsesTheDefaultDeviceWithTheVoiceFormatAndCloseDrains) {
    FakeAlsa alsa;
    {
        LocalPlayer player(kSampleRate, alsa);
        EXPECT_FALSE(player.isOpen());
        EXPECT_EQ(player.open(), 0);
        EXPECT_TRUE(player.isOpen());
        EXPECT_EQ(player.open(), 0);  // already open: the handle is kept, not reopened
        player.close();
        EXPECT_FALSE(player.isOpen());
        player.close();  // nothing more
    }
    EXPECT_EQ(alsa.log, (Log{kOpenDefault, kParams, "drain", "close"}));
}

TEST(LocalPlayerFake, DestructorDrainsAndClosesAnOpenPlayer) {
    FakeAlsa alsa;
    {
        LocalPlayer player(kSampleRate, alsa);
        ASSERT_EQ(player.open(), 0);
    }
    EXPECT_EQ(alsa.log, (Log{kOpenDefault, kParams, "drain", "close"}));
}

TEST(LocalPlayerFake, RefusedParametersStillLeaveThePlayerOpen) {
    FakeAlsa alsa;
    alsa.setParamsResult = -EINVAL;
    LocalPlayer player(kSampleRate, alsa);
    EXPECT_EQ(player.open(), 0);
    EXPECT_TRUE(player.isOpen());
}

TEST(LocalPlayerFake, OpenFailureReturnsMinusOneAndLaterCallsDoNothing) {
    FakeAlsa alsa;
    alsa.openResult = -ENOENT;
    LocalPlayer player(kSampleRate, alsa);
    EXPECT_EQ(player.open(), -1);
    EXPECT_FALSE(player.isOpen());
    const auto frame = rampFrame();
    EXPECT_EQ(player.write(frame.data(), kFrameSamples), 0);
    player.close();
    EXPECT_EQ(alsa.log, (Log{kOpenDefault}));
}

TEST(LocalPlayerFake, WholeWriteIsOneCall) {
    OpenPlayer p;
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0"}));
}

TEST(LocalPlayerFake, WriteTakenInTwoPartsWaitsOnceAndContinuesFromThePosition) {
    OpenPlayer p;
    p.alsa.writeResults = {500, 460};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "wait 100", "writei 460@500"}));
}

TEST(LocalPlayerFake, EagainRetriesTheSameFramesAfterTheWait) {
    OpenPlayer p;
    p.alsa.writeResults = {-EAGAIN, 960};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "wait 100", "writei 960@0"}));
}

TEST(LocalPlayerFake, UnderrunRecoversLoudlyAndRewritesAtOnce) {
    OpenPlayer p;
    p.alsa.writeResults = {-EPIPE, 960};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "recover -32 0", "writei 960@0"}));
}

TEST(LocalPlayerFake, UnderrunAfterAPartialWriteRewritesOnlyTheRest) {
    OpenPlayer p;
    p.alsa.writeResults = {300, -EPIPE, 400, 260};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "wait 100", "writei 660@300", "recover -32 0", "writei 660@300",
                               "writei 260@700"}));
}

TEST(LocalPlayerFake, FailedRewriteAfterUnderrunDoesNotEndTheWrite) {
    OpenPlayer p;
    p.alsa.writeResults = {-EPIPE, -EBADFD, 960};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "recover -32 0", "writei 960@0", "writei 960@0"}));
}

TEST(LocalPlayerFake, OtherErrorsEndTheWriteAtOnce) {
    for (snd_pcm_sframes_t error : {-EBADFD, -EIO, -ESTRPIPE, -ENODEV}) {
        OpenPlayer p;
        p.alsa.writeResults = {error};
        EXPECT_EQ(p.write(), -1) << error;
        EXPECT_EQ(p.alsa.log, (Log{"writei 960@0"})) << error;
        // The next frame is tried as usual.
        EXPECT_EQ(p.write(), 0);
    }
}

TEST(LocalPlayerFake, ZeroIsRetriedAtOnce) {
    OpenPlayer p;
    p.alsa.writeResults = {0, 960};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "writei 960@0"}));
}

TEST(LocalPlayerFake, DeviceThatNeverTakesFramesCannotHoldThePlayoutThread) {
    for (snd_pcm_sframes_t result : {snd_pcm_sframes_t{0}, snd_pcm_sframes_t{-EAGAIN}, snd_pcm_sframes_t{-EPIPE}}) {
        OpenPlayer p;
        p.alsa.useForever = true;
        p.alsa.foreverResult = result;
        EXPECT_EQ(p.write(), -1) << result;
        EXPECT_LE(p.alsa.writeCalls, 2 * LocalPlayer::kMaxStalls) << result;
        // Nothing of the block was taken, so nothing advanced.
        for (const auto& line : p.alsa.log) {
            if (line.rfind("writei", 0) == 0) {
                EXPECT_EQ(line, "writei 960@0");
            }
        }
    }
}

TEST(LocalPlayerFake, ProgressResetsTheStallCount) {
    OpenPlayer p;
    for (int i = 0; i < LocalPlayer::kMaxStalls - 1; ++i) p.alsa.writeResults.push_back(0);
    p.alsa.writeResults.push_back(100);
    for (int i = 0; i < LocalPlayer::kMaxStalls - 1; ++i) p.alsa.writeResults.push_back(-EAGAIN);
    p.alsa.writeResults.push_back(860);
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log.back(), "writei 860@100");
}

TEST(LocalPlayerFake, DeviceClaimingMoreThanOfferedEndsTheWriteWithoutOverrun) {
    OpenPlayer p;
    p.alsa.writeResults = {500, 5000};
    EXPECT_EQ(p.write(), 0);
    EXPECT_EQ(p.alsa.log, (Log{"writei 960@0", "wait 100", "writei 460@500"}));
}

TEST(LocalPlayerFake, EmptyAndMissingBlocks) {
    OpenPlayer p;
    EXPECT_EQ(p.player.write(p.frame.data(), 0), 0);
    EXPECT_EQ(p.player.write(nullptr, 960), -1);
    EXPECT_EQ(p.alsa.writeCalls, 0);
}

// ---------------------------------------------------------------------------
// Real ALSA, routed to files.

TEST(LocalPlayerAlsa, FramesLandOnTheDefaultDeviceInOrder) {
    test::AlsaRouting routing;
    LocalPlayer player(kSampleRate);
    ASSERT_EQ(player.open(), 0);
    ASSERT_TRUE(player.isOpen());
    std::vector<int16_t> frame(kFrameSamples);
    for (int k = 0; k < 10; ++k) {
        for (int i = 0; i < kFrameSamples; ++i) frame[i] = static_cast<int16_t>(k * kFrameSamples + i);
        ASSERT_EQ(player.write(frame.data(), kFrameSamples), 0) << k;
    }
    player.close();
    const auto pcm = routing.readDefault();
    ASSERT_EQ(pcm.size(), 10u * kFrameSamples);
    for (size_t i = 0; i < pcm.size(); ++i) ASSERT_EQ(pcm[i], static_cast<int16_t>(i)) << i;
    EXPECT_TRUE(routing.readLoopback().empty());
}

TEST(LocalPlayerAlsa, OpenedAndClosedWithoutWritesLeavesTheDeviceSilent) {
    test::AlsaRouting routing;
    {
        LocalPlayer player(kSampleRate);
        ASSERT_EQ(player.open(), 0);
        player.close();
        ASSERT_EQ(player.open(), 0);  // a second connection
    }  // destructor closes
    EXPECT_TRUE(routing.readDefault().empty());
}

TEST(LocalPlayerAlsa, MissingDefaultDeviceFailsOpenAndWritesDoNothing) {
    test::AlsaRouting routing(test::AlsaRouting::Mode::NoDevices);
    LocalPlayer player(kSampleRate);
    EXPECT_EQ(player.open(), -1);
    EXPECT_FALSE(player.isOpen());
    std::vector<int16_t> frame(kFrameSamples, 1000);
    EXPECT_EQ(player.write(frame.data(), kFrameSamples), 0);
    player.close();
}

}  // namespace
}  // namespace vexlink
