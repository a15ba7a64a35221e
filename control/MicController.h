#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "control/ControllerTypes.h"
#include "control/EventQueue.h"
#include "control/PlayoutQueue.h"
#include "platform/PeriodicTimer.h"
#include "platform/Thread.h"

namespace vexlink {

class LocalPlayer;
class LoopbackWriter;
class ReceptionStats;
class ServerConnection;

// Owns the life of one connection to the phone on its own event thread.
// start() and stop() may be called from any thread and only post a request;
// every state change reaches the callback synchronously on the event thread.
// While Connected, a receive thread reads and decodes voice into the playout
// queue and a 20 ms timer plays one frame per tick and posts a keep-alive
// every 50 ticks.
class MicController final : public TimerListener {
public:
    explicit MicController(PlayerCallback* callback);
    ~MicController() override;
    MicController(const MicController&) = delete;
    MicController& operator=(const MicController&) = delete;

    int32_t start();  // posts Connect; 0
    int32_t stop();   // posts Disconnect; 0
    void onTimer() override;

    int32_t state() const { return state_.load(); }

    // (the rest is filled in by the controller work)
private:
    std::atomic<int32_t> state_{kStateDisconnected};
};

}  // namespace vexlink
