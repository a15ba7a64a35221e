#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "AlsaRouting.h"
#include "AppTestText.h"
#include "control/Settings.h"

namespace vexlink {
namespace {

using test::Argv;
using test::CapturedStream;
using test::kUsageText;
using test::kVersionText;

std::atomic<int> loopbackChecks{0};
bool loopbackPresent() {
    ++loopbackChecks;
    return true;
}
bool loopbackAbsent() {
    ++loopbackChecks;
    return false;
}

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings::resetForTest();
        loopbackChecks = 0;
    }

    CommandLineOutcome run(std::vector<std::string> words, bool (*loopback)() = &loopbackPresent) {
        Argv args(std::move(words));
        CommandLineIo io;
        io.out = out.file();
        io.err = err.file();
        io.loopbackAvailable = loopback;
        return runCommandLine(args.argc(), args.argv(), io, &values);
    }

    CapturedStream out;
    CapturedStream err;
    CommandLineValues values;
};

TEST_F(CommandLineTest, NoOperandPrintsUsageAndEndsWithOneBeforeTheLoopbackCheck) {
    const auto outcome = run({}, &loopbackAbsent);
    EXPECT_FALSE(outcome.run);
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(out.text(), kUsageText);
    EXPECT_EQ(loopbackChecks.load(), 0);

    const auto withOptions = run({"-l", "-t", "bluetooth"}, &loopbackAbsent);
    EXPECT_EQ(withOptions.exitStatus, 1);
    EXPECT_EQ(loopbackChecks.load(), 0);
}

TEST_F(CommandLineTest, WifiDefaultsAreStored) {
    const auto outcome = run({"192.168.100.1"});
    ASSERT_TRUE(outcome.run);
    EXPECT_FALSE(outcome.debug);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportWifi));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "192.168.100.1");
    EXPECT_EQ(Settings::getControlPort(), 8125);
    EXPECT_EQ(Settings::getMediaPort(), 49152);
    EXPECT_FALSE(Settings::getPlayLocally());
    EXPECT_EQ(loopbackChecks.load(), 1);
}

TEST_F(CommandLineTest, OptionsAfterTheOperandAndLongNamesAreHonoured) {
    const auto outcome = run({"10.0.0.7", "-l", "--service-port", "9000", "--media-port=5000", "-d"});
    ASSERT_TRUE(outcome.run);
    EXPECT_TRUE(outcome.debug);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "10.0.0.7");
    EXPECT_EQ(Settings::getControlPort(), 9000);
    EXPECT_EQ(Settings::getMediaPort(), 5000);
    EXPECT_TRUE(Settings::getPlayLocally());
}

TEST_F(CommandLineTest, AbbreviatedLongNamesAndRepeatedOptions) {
    const auto outcome = run({"--serv=7000", "--med", "1", "-m", "2", "--trans", "wifi", "--play", "host"});
    ASSERT_TRUE(outcome.run);
    EXPECT_EQ(Settings::getControlPort(), 7000);
    EXPECT_EQ(Settings::getMediaPort(), 2);  // the later one wins
    EXPECT_TRUE(Settings::getPlayLocally());
    EXPECT_STREQ(Settings::getWifiServerAddr(), "host");
}

TEST_F(CommandLineTest, PortsConvertLikeAtoiWithoutComplaint) {
    ASSERT_TRUE(run({"-s", "abc", "-m", "8080x", "host"}).run);
    EXPECT_EQ(Settings::getControlPort(), 0);
    EXPECT_EQ(Settings::getMediaPort(), 8080);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");

    ASSERT_TRUE(run({"-s", "-5", "-m", "70000", "host"}).run);  // no range check
    EXPECT_EQ(Settings::getControlPort(), -5);
    EXPECT_EQ(Settings::getMediaPort(), 70000);
}

TEST_F(CommandLineTest, FurtherOperandsAreIgnored) {
    ASSERT_TRUE(run({"first", "second", "-l"}).run);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "first");
}

TEST_F(CommandLineTest, TransportWordIgnoresCase) {
    ASSERT_TRUE(run({"-t", "bluetooth", "04:02:1F:2A:95:78"}).run);
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportBluetooth));
    ASSERT_TRUE(run({"-t", "BLUETOOTH", "04:02:1F:2A:95:78"}).run);
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportBluetooth));
    ASSERT_TRUE(run({"-t", "Wifi", "host"}).run);
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportWifi));
}

TEST_F(CommandLineTest, InvalidTransportWordEndsWith255AndStoresNothing) {
    const auto outcome = run({"-t", "USB", "x"});
    EXPECT_FALSE(outcome.run);
    EXPECT_EQ(outcome.exitStatus, 255);
    EXPECT_EQ(out.text(), "Invalid transport type: USB\n");
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportNone));
    EXPECT_EQ(loopbackChecks.load(), 0);
}

TEST_F(CommandLineTest, VersionEndsParsingAtOnce) {
    const auto outcome = run({"-v", "--no-such-option", "-t", "USB"});
    EXPECT_FALSE(outcome.run);
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(out.text(), kVersionText);
}

TEST_F(CommandLineTest, VersionAfterAnInvalidOptionNeverTakesEffect) {
    const auto outcome = run({"-x", "-v"});
    EXPECT_EQ(outcome.exitStatus, 255);
    EXPECT_EQ(out.text(), kUsageText);
}

TEST_F(CommandLineTest, UnknownOptionOrMissingArgumentPrintsUsageAnd255) {
    EXPECT_EQ(run({"--bogus", "host"}).exitStatus, 255);
    EXPECT_EQ(out.text(), kUsageText);
    EXPECT_EQ(run({"host", "-t"}).exitStatus, 255);
    EXPECT_EQ(run({"host", "--media-port"}).exitStatus, 255);
    EXPECT_EQ(out.text(), kUsageText + kUsageText + kUsageText);
    EXPECT_EQ(loopbackChecks.load(), 0);
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportNone));
}

TEST_F(CommandLineTest, HelpPrintsOnlyTheUsageAnd255) {
    const auto outcome = run({"-h", "-v", "host"});
    EXPECT_FALSE(outcome.run);
    EXPECT_EQ(outcome.exitStatus, 255);
    EXPECT_EQ(out.text(), kUsageText);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(run({"--help"}).exitStatus, 255);
}

TEST_F(CommandLineTest, MissingLoopbackEndsWithTwoAfterParsing) {
    const auto outcome = run({"-l", "host"}, &loopbackAbsent);
    EXPECT_FALSE(outcome.run);
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_EQ(out.text(), "Please first load ALSA snd-aloop.\n");
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportNone));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
    EXPECT_FALSE(Settings::getPlayLocally());
    // A bad option is still reported first.
    EXPECT_EQ(run({"-t", "USB", "host"}, &loopbackAbsent).exitStatus, 255);
}

TEST_F(CommandLineTest, WifiAddressThatCannotFitIsRefusedBeforeTheLoopbackCheck) {
    const std::string longest(Settings::kAddressCapacity - 1, 'a');
    const std::string tooLong(Settings::kAddressCapacity, 'a');

    const auto refused = run({tooLong}, &loopbackAbsent);
    EXPECT_FALSE(refused.run);
    EXPECT_EQ(refused.exitStatus, 255);
    EXPECT_EQ(err.text(), "Server address too long (at most 255 bytes).\n");
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(loopbackChecks.load(), 0);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");

    ASSERT_TRUE(run({longest}).run);
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), longest);
}

TEST_F(CommandLineTest, LongBluetoothOperandIsParsedNotCopied) {
    // Nothing is copied for Bluetooth: unparsable text is the all-zero address.
    const std::string junk(4000, 'f');
    ASSERT_TRUE(run({"-t", "Bluetooth", junk}).run);
    uint8_t address[6] = {1, 1, 1, 1, 1, 1};
    Settings::getBtAddress(address);
    for (uint8_t b : address) EXPECT_EQ(b, 0);
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
}

TEST_F(CommandLineTest, RealLoopbackCheckFollowsTheAlsaConfiguration) {
    test::AlsaRouting alsa(test::AlsaRouting::Mode::NoDevices);
    Argv args({"host"});
    CommandLineIo io;
    io.out = out.file();
    io.err = err.file();
    const auto outcome = runCommandLine(args.argc(), args.argv(), io);
    EXPECT_EQ(outcome.exitStatus, 2);
    EXPECT_EQ(out.text(), "Please first load ALSA snd-aloop.\n");
}

TEST_F(CommandLineTest, RealLoopbackCheckPassesWhenRouted) {
    test::AlsaRouting alsa;
    Argv args({"-m", "4000", "host"});
    CommandLineIo io;
    io.out = out.file();
    io.err = err.file();
    ASSERT_TRUE(runCommandLine(args.argc(), args.argv(), io).run);
    EXPECT_EQ(Settings::getMediaPort(), 4000);
}

TEST(CommandLineText, UsageAndVersionAreExact) {
    CapturedStream usage;
    printUsage(usage.file());
    EXPECT_EQ(usage.text(), kUsageText);
    CapturedStream version;
    printVersion(version.file());
    EXPECT_EQ(version.text(), kVersionText);
}

}  // namespace
}  // namespace vexlink
