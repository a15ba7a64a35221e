#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "AlsaRouting.h"
#include "FakeAlsa.h"
#include "audio/AudioFormat.h"
#include "audio/LoopbackWriter.h"

namespace vexlink {
namespace {

using test::FakeAlsa;
using test::rampFrame;
using Log = std::vector<std::string>;

const std::string kOpenLoopback = "open plughw:CARD=Loopback,DEV=0,SUBDEV=0 0 0";
const std::string kHwParams = "hw " + std::to_string(SND_PCM_ACCESS_RW_INTERLEAVED) + " " +
                              std::to_string(SND_PCM_FORMAT_S16_LE) + " 1 48000 960";

// ---------------------------------------------------------------------------
// Against a scripted device.

TEST(LoopbackWriterFake, OpensTheLoopbackPlaybackDeviceAndSetsItsFormat) {
    FakeAlsa alsa;
    testing::internal::CaptureStderr();
    {
        LoopbackWriter writer(alsa);
        EXPECT_TRUE(writer.isOpen());
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(alsa.log, (Log{kOpenLoopback, kHwParams, "close"}));
}

TEST(LoopbackWriterFake, RefusedHardwareParametersAreReportedAndTheDeviceKept) {
    FakeAlsa alsa;
    alsa.hwParamsResult = -EINVAL;
    testing::internal::CaptureStderr();
    LoopbackWriter writer(alsa);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "unable to set hw parameters: Invalid argument\n");
    EXPECT_TRUE(writer.isOpen());
    // The unconfigured device still gets the writes; their failure is silent.
    alsa.writeResults = {-EBADFD};
    const auto frame = rampFrame();
    EXPECT_TRUE(writer.write(frame.data(), kFrameSamples));
    EXPECT_EQ(alsa.writeCalls, 1);
}

TEST(LoopbackWriterFake, MissingDeviceMakesWritesSilentNoOps) {
    FakeAlsa alsa;
    alsa.openResult = -ENOENT;
    testing::internal::CaptureStderr();
    LoopbackWriter writer(alsa);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(writer.isOpen());
    const auto frame = rampFrame();
    EXPECT_TRUE(writer.write(frame.data(), kFrameSamples));
    EXPECT_EQ(alsa.log, (Log{kOpenLoopback}));  // no parameters, no write, no close
}

TEST(LoopbackWriterFake, UnderrunPreparesOnceAndDropsTheBlock) {
    FakeAlsa alsa;
    LoopbackWriter writer(alsa);
    alsa.log.clear();
    alsa.writeResults = {-EPIPE};
    const auto frame = rampFrame();
    EXPECT_TRUE(writer.write(frame.data(), kFrameSamples));
    EXPECT_EQ(alsa.log, (Log{"writei 960@0", "prepare"}));
    // The next block is written normally, once.
    EXPECT_TRUE(writer.write(frame.data(), kFrameSamples));
    EXPECT_EQ(alsa.log, (Log{"writei 960@0", "prepare", "writei 960@0"}));
}

TEST(LoopbackWriterFake, ShortWritesAndOtherErrorsAreIgnored) {
    FakeAlsa alsa;
    LoopbackWriter writer(alsa);
    alsa.log.clear();
    alsa.writeResults = {500, -EBADFD, -EIO, 0};
    const auto frame = rampFrame();
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(writer.write(frame.data(), kFrameSamples));
    EXPECT_EQ(alsa.log, (Log{"writei 960@0", "writei 960@0", "writei 960@0", "writei 960@0"}));
}

TEST(LoopbackWriterFake, EmptyOrNegativeBlocksAreNotHandedToAlsa) {
    FakeAlsa alsa;
    LoopbackWriter writer(alsa);
    const auto frame = rampFrame();
    EXPECT_TRUE(writer.write(frame.data(), 0));
    EXPECT_TRUE(writer.write(frame.data(), -960));
    EXPECT_TRUE(writer.write(nullptr, 960));
    EXPECT_EQ(alsa.writeCalls, 0);
}

TEST(LoopbackAvailableFake, OpensTheCheckDeviceAndClosesItAtOnce) {
    FakeAlsa alsa;
    EXPECT_TRUE(isLoopbackAvailable(alsa));
    EXPECT_EQ(alsa.log, (Log{"open hw:CARD=Loopback,DEV=0 0 0", "close"}));
    FakeAlsa missing;
    missing.openResult = -ENOENT;
    EXPECT_FALSE(isLoopbackAvailable(missing));
    EXPECT_EQ(missing.log, (Log{"open hw:CARD=Loopback,DEV=0 0 0"}));
}

// ---------------------------------------------------------------------------
// Real ALSA, routed to files.

// Number of this process's descriptors open on `path`.
int openDescriptorsOn(const std::string& path) {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* entry = readdir(dir)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (path == target) ++count;
    }
    closedir(dir);
    return count;
}

// Frame k holds k * 960 + i at sample i, so order and gaps show in the file.
std::vector<int16_t> numberedFrame(int k) {
    std::vector<int16_t> frame(kFrameSamples);
    for (int i = 0; i < kFrameSamples; ++i) frame[i] = static_cast<int16_t>(k * kFrameSamples + i);
    return frame;
}

void expectNumberedFrames(const std::vector<int16_t>& pcm, int frames) {
    ASSERT_EQ(pcm.size(), static_cast<size_t>(frames) * kFrameSamples);
    for (size_t i = 0; i < pcm.size(); ++i) ASSERT_EQ(pcm[i], static_cast<int16_t>(i)) << "sample " << i;
}

TEST(LoopbackWriterAlsa, FramesLandOnTheLoopbackInOrderAndComplete) {
    test::AlsaRouting routing;
    testing::internal::CaptureStderr();
    {
        LoopbackWriter writer(realAlsaApi());
        ASSERT_TRUE(writer.isOpen());
        for (int k = 0; k < 20; ++k) EXPECT_TRUE(writer.write(numberedFrame(k).data(), kFrameSamples));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // parameters accepted
    expectNumberedFrames(routing.readLoopback(), 20);
    EXPECT_TRUE(routing.readDefault().empty());
}

TEST(LoopbackWriterAlsa, InstanceOpensTheDeviceOnceAndKeepsIt) {
    test::AlsaRouting routing;
    LoopbackWriter* first = LoopbackWriter::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isOpen());
    EXPECT_EQ(openDescriptorsOn(routing.loopbackPath()), 1);
    LoopbackWriter* second = LoopbackWriter::instance();
    EXPECT_EQ(first, second);
    for (int i = 0; i < 5; ++i) (void)LoopbackWriter::instance();
    EXPECT_EQ(openDescriptorsOn(routing.loopbackPath()), 1);
    // The check device is independent of the writer and left closed.
    EXPECT_TRUE(isLoopbackAvailable());
    EXPECT_EQ(openDescriptorsOn(routing.checkPath()), 0);
    EXPECT_EQ(openDescriptorsOn(routing.loopbackPath()), 1);
}

TEST(LoopbackWriterAlsa, ProcessWideWriterHandsItsFramesOnWhenTheProcessExits) {
    test::AlsaRouting routing;
    // The child (forked here) writes through the process-wide writer and
    // exits; what it wrote must be in the file afterwards.
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            for (int k = 0; k < 30; ++k) LoopbackWriter::instance()->write(numberedFrame(k).data(), kFrameSamples);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    expectNumberedFrames(routing.readLoopback(), 30);
}

TEST(LoopbackWriterAlsa, WithoutTheCardNothingIsWrittenAndTheCheckFails) {
    test::AlsaRouting routing(test::AlsaRouting::Mode::NoDevices);
    testing::internal::CaptureStderr();
    LoopbackWriter* writer = LoopbackWriter::instance();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("unable to set hw parameters"), std::string::npos) << err;
    EXPECT_FALSE(writer->isOpen());
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(writer->write(numberedFrame(k).data(), kFrameSamples));
    EXPECT_FALSE(isLoopbackAvailable());
    EXPECT_FALSE(test::AlsaRouting::fileExists(routing.loopbackPath()));
    EXPECT_FALSE(test::AlsaRouting::fileExists(routing.checkPath()));
}

}  // namespace
}  // namespace vexlink
