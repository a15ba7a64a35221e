#pragma once

#include "platform/PeriodicTimer.h"

namespace vexlink {

class LoopbackWriter;

// Keeps the loopback device running between two connections: every 20 ms
// it writes a frame of silence, so the recording program's microphone
// carries silence instead of stopping while vexlink reconnects.
//
// Threads: start(), stop() and the destructor on one controlling thread
// (the controller's event thread), and only while no playout writes to the
// device; the frames are written on the feeder's own timer thread.
class SilenceFeeder final : public TimerListener {
public:
    explicit SilenceFeeder(LoopbackWriter* loopback) : loopback_(loopback) {}
    // The writer, when it is taken only at the first connect request; while
    // not running.
    void setLoopback(LoopbackWriter* loopback) { loopback_ = loopback; }
    ~SilenceFeeder() override { timer_.stop(); }
    SilenceFeeder(const SilenceFeeder&) = delete;
    SilenceFeeder& operator=(const SilenceFeeder&) = delete;

    // Starts writing unless it already does; false when no timer thread
    // could be made.
    bool start();
    // Stops writing; no frame is written after it returns.
    void stop() { timer_.stop(); }
    bool isRunning() const { return timer_.isRunning(); }

    void onTimer() override;

private:
    LoopbackWriter* loopback_;  // not owned
    PeriodicTimer timer_;
};

}  // namespace vexlink
