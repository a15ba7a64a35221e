#pragma once

#include <cstdint>

namespace vexlink {

enum ControllerState : int32_t {
    kStateDisconnected = 0,
    kStateConnecting = 1,
    kStateConnected = 2,
    kStateDisconnecting = 3,
    kStateAborting = 4,
};

// Results reported with Disconnected.
enum ResultCode : int32_t {
    kResultOk = 0,
    kResultBadTransport = -1,
    kResultHandshakeSocketError = -20,
    kResultConnectFailed = -25,
    kResultMediaPortFailed = -27,
    kResultAborted = -28,
    kResultNoAudio = -29,
    kResultMismatch = -70,
    kResultCannotStart = -71,
};

// Connection result -> result code (-1 -> -1, -10 -> -70, -20 -> -71,
// -30 -> -25, -31 -> -27; 0 -> 0).
int32_t translateConnectionResult(int32_t connectionResult);

// Receives every state change of the controller, on the event thread.
// No virtual destructor: the controller never deletes its callback.
class PlayerCallback {
public:
    virtual void onStateChanged(int32_t state, int32_t result, int32_t detail) = 0;
    // With --reconnect: right after a Disconnected that another attempt
    // follows, the wait before that attempt.
    virtual void onReconnectWait(int32_t /*waitMs*/) {}

protected:
    ~PlayerCallback() = default;
};

}  // namespace vexlink
