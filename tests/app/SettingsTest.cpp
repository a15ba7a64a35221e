#include "control/Settings.h"

#include <gtest/gtest.h>

#include <bluetooth/bluetooth.h>
#include <cstring>
#include <memory>
#include <string>

#include "AppTestText.h"
#include "app/CommandLine.h"

namespace vexlink {
namespace {

bool loopbackPresent() { return true; }

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { Settings::resetForTest(); }
};

TEST_F(SettingsTest, StartsEmpty) {
    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportNone));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
    EXPECT_STREQ(Settings::getSoftApAddr(), "");
    EXPECT_FALSE(Settings::getPlayLocally());
    EXPECT_EQ(Settings::getControlPort(), 0);
    EXPECT_EQ(Settings::getMediaPort(), 0);
    EXPECT_EQ(Settings::getBufferSize(), 0);
    uint8_t address[6] = {9, 9, 9, 9, 9, 9};
    Settings::getBtAddress(address);
    for (uint8_t b : address) EXPECT_EQ(b, 0);
}

TEST_F(SettingsTest, BluetoothRunLeavesWifiAddressEmptyAndPortsZero) {
    test::Argv args({"-t", "Bluetooth", "-s", "9000", "-m", "5000", "-l", "04:02:1F:2A:95:78"});
    test::CapturedStream out;
    CommandLineIo io;
    io.out = out.file();
    io.loopbackAvailable = &loopbackPresent;
    ASSERT_TRUE(runCommandLine(args.argc(), args.argv(), io).run);

    EXPECT_EQ(Settings::getTransportType(), static_cast<uint32_t>(kTransportBluetooth));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
    EXPECT_EQ(Settings::getControlPort(), 0);
    EXPECT_EQ(Settings::getMediaPort(), 0);
    EXPECT_TRUE(Settings::getPlayLocally());
    // str2ba order: least significant byte first.
    uint8_t address[6] = {};
    Settings::getBtAddress(address);
    const uint8_t expected[6] = {0x78, 0x95, 0x2A, 0x1F, 0x02, 0x04};
    EXPECT_EQ(std::memcmp(address, expected, 6), 0);
}

TEST_F(SettingsTest, BluetoothAddressRoundTripsInStr2baOrder) {
    bdaddr_t parsed{};
    ASSERT_EQ(str2ba("A1:B2:C3:D4:E5:F6", &parsed), 0);
    Settings::setBtAddress(parsed.b);
    uint8_t back[6] = {};
    Settings::getBtAddress(back);
    EXPECT_EQ(std::memcmp(back, parsed.b, 6), 0);
    EXPECT_EQ(back[0], 0xF6);
    EXPECT_EQ(back[5], 0xA1);
    char text[18] = {};
    bdaddr_t again{};
    std::memcpy(again.b, back, 6);
    ba2str(&again, text);
    EXPECT_STREQ(text, "A1:B2:C3:D4:E5:F6");
}

TEST_F(SettingsTest, NullAddressKeepsThePreviousText) {
    ASSERT_TRUE(Settings::setWifiServerAddr("10.1.2.3"));
    EXPECT_TRUE(Settings::setWifiServerAddr(nullptr));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "10.1.2.3");
    ASSERT_TRUE(Settings::setSoftApAddrForTest("10.9.9.9"));
    EXPECT_TRUE(Settings::setSoftApAddrForTest(nullptr));
    EXPECT_STREQ(Settings::getSoftApAddr(), "10.9.9.9");
}

TEST_F(SettingsTest, AddressGetterReturnsTheFieldItself) {
    const char* field = Settings::getWifiServerAddr();
    ASSERT_TRUE(Settings::setWifiServerAddr("phone.local"));
    EXPECT_EQ(Settings::getWifiServerAddr(), field);
    EXPECT_STREQ(field, "phone.local");
    ASSERT_TRUE(Settings::setWifiServerAddr("x"));
    EXPECT_STREQ(field, "x");  // the shorter text is terminated, not mixed with the old one
}

TEST_F(SettingsTest, AddressOf255BytesFitsAnd256IsRefused) {
    const std::string fits(Settings::kAddressCapacity - 1, 'b');
    ASSERT_TRUE(Settings::setWifiServerAddr(fits.c_str()));
    EXPECT_EQ(std::string(Settings::getWifiServerAddr()), fits);

    ASSERT_TRUE(Settings::setWifiServerAddr("kept"));
    const std::string tooLong(Settings::kAddressCapacity, 'c');
    EXPECT_FALSE(Settings::setWifiServerAddr(tooLong.c_str()));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "kept");
    const std::string muchTooLong(100000, 'd');
    EXPECT_FALSE(Settings::setWifiServerAddr(muchTooLong.c_str()));
    EXPECT_FALSE(Settings::setSoftApAddrForTest(tooLong.c_str()));
    EXPECT_STREQ(Settings::getSoftApAddr(), "");
}

TEST_F(SettingsTest, UnterminatedTextIsNotReadPastTheFieldSize) {
    // Exactly kAddressCapacity readable bytes and no terminator: the setter
    // must refuse without reading further (the sanitizer build checks that).
    auto bytes = std::make_unique<char[]>(Settings::kAddressCapacity);
    std::memset(bytes.get(), 'e', Settings::kAddressCapacity);
    EXPECT_FALSE(Settings::setWifiServerAddr(bytes.get()));
    EXPECT_STREQ(Settings::getWifiServerAddr(), "");
}

}  // namespace
}  // namespace vexlink
