#include "settings/Settings.h"

#include <cstring>

namespace vexlink {

namespace {

// The record itself, with static storage; fields in their documented order.
struct SettingsRecord {
    uint32_t transportType = kTransportNone;
    char wifiServerAddr[Settings::kAddressCapacity] = {};
    char softApAddr[Settings::kAddressCapacity] = {};
    bool playLocally = false;
    int32_t controlPort = 0;
    int32_t mediaPort = 0;
    int32_t bufferSize = 0;
    uint8_t btAddress[6] = {};
    // Beyond the classic record: the long options.
    PlayoutMode playoutMode = PlayoutMode::Auto;
    Concealment concealment = Concealment::Fade;
    OutputKind output = OutputKind::Alsa;
    bool reconnect = false;
    bool statusLine = true;
};

SettingsRecord record;

bool copyAddress(char (&field)[Settings::kAddressCapacity], const char* text) {
    if (text == nullptr) return true;
    const size_t length = strnlen(text, Settings::kAddressCapacity);
    if (length >= Settings::kAddressCapacity) return false;  // would not fit with its terminator
    std::memcpy(field, text, length + 1);
    return true;
}

}  // namespace

uint32_t Settings::getTransportType() { return record.transportType; }
void Settings::setTransportType(uint32_t type) { record.transportType = type; }
const char* Settings::getWifiServerAddr() { return record.wifiServerAddr; }
bool Settings::setWifiServerAddr(const char* text) { return copyAddress(record.wifiServerAddr, text); }
const char* Settings::getSoftApAddr() { return record.softApAddr; }
bool Settings::getPlayLocally() { return record.playLocally; }
void Settings::setPlayLocally(bool on) { record.playLocally = on; }
int32_t Settings::getControlPort() { return record.controlPort; }
void Settings::setControlPort(int32_t port) { record.controlPort = port; }
int32_t Settings::getMediaPort() { return record.mediaPort; }
void Settings::setMediaPort(int32_t port) { record.mediaPort = port; }
int32_t Settings::getBufferSize() { return record.bufferSize; }
void Settings::getBtAddress(uint8_t out[6]) { std::memcpy(out, record.btAddress, sizeof record.btAddress); }
void Settings::setBtAddress(const uint8_t in[6]) { std::memcpy(record.btAddress, in, sizeof record.btAddress); }

PlayoutMode Settings::getPlayoutMode() { return record.playoutMode; }
void Settings::setPlayoutMode(PlayoutMode mode) { record.playoutMode = mode; }
Concealment Settings::getConcealment() { return record.concealment; }
void Settings::setConcealment(Concealment concealment) { record.concealment = concealment; }
OutputKind Settings::getOutput() { return record.output; }
void Settings::setOutput(OutputKind output) { record.output = output; }
bool Settings::getReconnect() { return record.reconnect; }
void Settings::setReconnect(bool on) { record.reconnect = on; }
bool Settings::getStatusLine() { return record.statusLine; }
void Settings::setStatusLine(bool on) { record.statusLine = on; }

void Settings::resetForTest() { record = SettingsRecord{}; }
bool Settings::setSoftApAddrForTest(const char* text) { return copyAddress(record.softApAddr, text); }

}  // namespace vexlink
