#pragma once

#include <cstddef>
#include <cstdint>

namespace vexlink {

enum TransportType : uint32_t {
    kTransportNone = 0,
    kTransportBluetooth = 1,
    kTransportWifi = 3,
    kTransportSoftAp = 4,
};

// The process-wide configuration record. Written by the front end before
// the controller starts, read-only afterwards (the connect request's post
// orders the writes before every read), so it has no lock.
class Settings {
public:
    static constexpr size_t kAddressCapacity = 256;  // bytes, terminator included

    static uint32_t getTransportType();
    static void setTransportType(uint32_t type);
    static const char* getWifiServerAddr();
    // Copies text with its terminator. A null pointer leaves the field
    // unchanged (true); a text of kAddressCapacity bytes or more is refused
    // and leaves it unchanged (false).
    static bool setWifiServerAddr(const char* text);
    static const char* getSoftApAddr();
    static bool getPlayLocally();
    static void setPlayLocally(bool on);
    static int32_t getControlPort();
    static void setControlPort(int32_t port);
    static int32_t getMediaPort();
    static void setMediaPort(int32_t port);
    static int32_t getBufferSize();
    static void getBtAddress(uint8_t out[6]);
    static void setBtAddress(const uint8_t in[6]);

    // Back to the values at process start (tests only).
    static void resetForTest();
    // Tests only: the soft access point transport has no command-line word.
    static bool setSoftApAddrForTest(const char* text);

    Settings() = delete;
};

}  // namespace vexlink
