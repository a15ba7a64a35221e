#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/Concealment.h"

namespace vexlink {

enum TransportType : uint32_t {
    kTransportNone = 0,
    kTransportBluetooth = 1,
    kTransportWifi = 3,
    kTransportSoftAp = 4,
};

// How received voice reaches the output: the adaptive jitter buffer, or the
// queue paced by the 20 ms tick. Auto takes, on the ALSA output, the jitter
// buffer for server version 4 and later and the queue for versions 2 and 3;
// on the PipeWire output, whose graph pulls its own quantum, always the
// jitter buffer.
enum class PlayoutMode : uint8_t { Auto, Adaptive, Queue };
// Where the voice goes: the ALSA loopback card, or a PipeWire source node.
enum class OutputKind : uint8_t { Alsa, PipeWire };

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

    // Choices made with long options; the defaults keep the classic client.
    static PlayoutMode getPlayoutMode();
    static void setPlayoutMode(PlayoutMode mode);
    static Concealment getConcealment();
    static void setConcealment(Concealment concealment);
    static OutputKind getOutput();
    static void setOutput(OutputKind output);
    static bool getReconnect();
    static void setReconnect(bool on);
    static bool getStatusLine();
    static void setStatusLine(bool on);

    // Back to the values at process start (tests only).
    static void resetForTest();
    // Tests only: the soft access point transport has no command-line word.
    static bool setSoftApAddrForTest(const char* text);

    Settings() = delete;
};

}  // namespace vexlink
