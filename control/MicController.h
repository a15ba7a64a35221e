#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "control/ControllerTypes.h"
#include "control/DeviceFrameSink.h"
#include "control/EventQueue.h"
#include "control/PlayoutQueue.h"
#include "control/PlayoutTick.h"
#include "control/ReconnectPolicy.h"
#include "control/SilenceFeeder.h"
#include "platform/PeriodicTimer.h"
#include "playout/PlayoutConfig.h"
#include "playout/PlayoutCounters.h"
#include "platform/Thread.h"
#include "transport/CancelSignal.h"

namespace vexlink {

class AdaptiveFeed;
class AdaptiveTick;
class LatencyProbe;
class LocalPlayer;
class LoopbackWriter;
class ReceptionStats;
class SampleSource;
class ServerConnection;

// Owns the life of one connection to the phone on its own event thread.
// start() and stop() may be called from any thread and only post a request;
// every state change reaches the callback synchronously on the event thread.
// While Connected, a receive thread reads and decodes voice into the playout
// queue and a 20 ms timer plays one frame per tick and posts a keep-alive
// every 50 ticks.
//
// Threads: the event thread (constructor to destruction) connects, runs the
// handshake, sends keep-alives and tears down; the receive thread and the
// timer thread exist only between a successful connect and the disconnect
// that follows it, and only post to the event thread. The destructor, when
// it runs on another thread, waits for the event thread; a connection still
// up at that point is disconnected first.
//
// Stopping while connecting: every wait of the connect sequence (name
// resolution, TCP connect, Bluetooth search and connect, handshake replies)
// also watches a cancel signal. stop() (and the destructor) raise it with
// the number of the request they post, which cancels an attempt begun for
// an earlier Connect: the attempt ends at once with Disconnecting, then
// Disconnected with result 0, as a stop while connected does. A stop posted
// before the Connect changes nothing. The connect has a deadline of about
// 10 s (result -25), the handshake one of about 15 s in all (-20).
//
// Two playout strategies, chosen per connection at the end of its handshake:
// the queue above, paced by the tick, and the adaptive playout (a jitter
// buffer with adaptive delay): the receive thread then reads packets
// without decoding them into the playout's packet ring, and the consumer
// pulls. The PipeWire output always takes the adaptive playout, its node's
// data thread pulling (the timer then only counts keep-alives); on ALSA
// --jitter-buffer decides, and by default every server version plays
// through the queue (the adaptive playout's benchmark figures do not yet
// beat the tick's on every network profile). The adaptive playout is
// built once per process, at the first connection that needs it (or by
// graphSource()), with the concealment of the settings.
//
// The loopback writer is taken at the first connect request on the ALSA
// output (the process-wide one unless the constructor was given one), so
// the PipeWire output never opens the loopback card.
//
// Reconnecting (--reconnect): after an end that ReconnectPolicy retries,
// the event thread waits (taking events with a timeout meanwhile) and then
// posts itself a Reconnect, which runs the connect sequence again. From the
// end of one connection's playout until the next one's starts, a silence
// feeder keeps the loopback device running, and later connections write
// silence until their first frame. A stop during the wait ends the run at
// once as a stop during an attempt does: Disconnecting, then Disconnected
// with result 0.
class MicController final : public TimerListener {
public:
    static constexpr int32_t kKeepAliveTicks = 50;
    static constexpr uint8_t kSetupFirst = 2;
    static constexpr uint8_t kSetupSecond = 2;

    explicit MicController(PlayerCallback* callback);
    // Tests: frames go to `loopback` (not owned; must outlive the controller)
    // instead of the process-wide writer, so a test can close it and read
    // what reached the device.
    MicController(PlayerCallback* callback, LoopbackWriter* loopback);
    ~MicController() override;
    MicController(const MicController&) = delete;
    MicController& operator=(const MicController&) = delete;

    int32_t start();  // posts Connect; 0
    int32_t stop();   // posts Disconnect and cancels an attempt under way; 0
    void onTimer() override;

    int32_t state() const { return state_.load(); }
    int32_t serverVersion() const { return serverVersion_.load(); }

    // The PipeWire output: the adaptive playout as the SampleSource its node
    // pulls from; it serves every connection from then on. Built on the
    // first call; call it before start(), on the thread that calls start().
    SampleSource& graphSource();

    // Benchmarks and tests. Install before start(); null switches it off.
    void setLatencyProbe(LatencyProbe* probe);
    // Playout counters of the current process (any thread, any time).
    PlayoutFigures playoutFigures() const { return tick_.figures(); }
    // The adaptive playout's counters as of its last pull (any thread; all 0
    // before it exists).
    PlayoutCounters adaptiveFigures() const;
    // Tests: the adaptive playout's settings (the concealment still comes
    // from the settings record). Set before start().
    void setPlayoutConfigForTest(const PlayoutConfig& config) { playoutConfig_ = config; }
    // What the status line shows: the playout's counters (both playouts'
    // together, so they only ever grow), level and delay (the current
    // connection's playout's). Any thread, any time; read-only.
    PlayoutStatus playoutStatus() const;
    // Tests: a shorter wait for each UDP datagram than the normal 3000 ms.
    // Set before start(); 0 keeps the normal wait.
    void setMediaReceiveWaitMsForTest(int32_t ms) { mediaWaitMsForTest_ = ms; }
    // Tests: gives each new connection its streams in place of
    // ServerConnection::connect (e.g. a socket pair standing in for the
    // Bluetooth link, which this machine lacks); returns connect's result.
    // Set before start(); runs on the event thread.
    using ConnectOverride = std::function<int32_t(ServerConnection&)>;
    void setConnectOverrideForTest(ConnectOverride connect) { connectOverride_ = std::move(connect); }
    // Tests: shorter connect and handshake deadlines (0 keeps the normal
    // one). Set before start().
    void setLimitsMsForTest(int32_t connectMs, int32_t handshakeMs) {
        connectLimitMsForTest_ = connectMs;
        handshakeLimitMsForTest_ = handshakeMs;
    }
    // Tests: runs on the event thread with each event's code before the
    // event is handled (it may block there). Set before start().
    void setEventHookForTest(std::function<void(int32_t code)> hook) { eventHook_ = std::move(hook); }
    // Events posted and not yet taken (any thread).
    int32_t pendingEvents() const { return eventQueue_.count(); }

private:
    static void eventThreadMain(void* self);
    static void receiveThreadMain(void* self);

    void eventLoop();
    // The next event; while a reconnect is due, posts it when its wait is over.
    std::unique_ptr<ControllerEvent> nextEvent();
    // Returns the event's number in the order of posting.
    uint64_t post(int32_t code, int32_t result, uint32_t connectionId = 0);
    bool isStale(const ControllerEvent& event) const;
    void setState(int32_t state, int32_t result, int32_t detail);

    void connectSequence(uint64_t order);
    void abandonAttempt();
    void failAttempt(int32_t result, int32_t detail);
    // After every Disconnected: schedules the next attempt when the end is
    // retried, otherwise stops the silence between connections.
    void afterEnd(int32_t result, bool carriedVoice);
    void keepOutputRunning();
    int32_t handshake();
    void startVoiceFlow();
    void disconnectSequence(int32_t result);
    void releaseConnection();
    void sendKeepAlive();
    void receiveLoop();
    // How the connection that was just established plays (event thread).
    void choosePlayout();
    // The loopback writer, at the first attempt on the ALSA output.
    void takeLoopback();
    void ensureAdaptive();
    void endAdaptivePlayout();

    PlayerCallback* callback_;
    PlayoutQueue playoutQueue_;
    std::unique_ptr<ServerConnection> connection_;
    std::unique_ptr<LocalPlayer> localPlayer_;
    LoopbackWriter* loopback_ = nullptr;  // process-wide, not owned
    std::atomic<int32_t> state_{kStateDisconnected};
    PeriodicTimer timer_;
    ThreadId eventThread_{};
    bool eventThreadRunning_ = false;
    ThreadId receiveThread_{};
    bool receiveThreadRunning_ = false;
    ReceptionStats* stats_ = nullptr;  // process-wide, not owned
    std::atomic<int32_t> serverVersion_{0};
    int32_t sampleRate_ = 0;
    int32_t channels_ = 0;
    int32_t framePeriodMs_ = 0;
    DeviceFrameSink sink_;
    PlayoutTick tick_;  // holds the last played frame and its repeat count
    // The strategy of the current connection; written by the event thread
    // before the receive and timer threads of a connection exist.
    enum class Playout : uint8_t { Queue, AdaptiveTick, AdaptiveGraph };
    std::atomic<Playout> playout_{Playout::Queue};
    PlayoutConfig playoutConfig_;
    std::unique_ptr<AdaptiveFeed> adaptive_;      // built once, never replaced
    std::unique_ptr<AdaptiveTick> adaptiveTick_;  // with the ALSA output
    std::atomic<AdaptiveFeed*> adaptiveView_{nullptr};  // adaptive_, for other threads
    // Timer ticks towards the next keep-alive; timer thread only, kept
    // across connections.
    int32_t keepAliveTicks_ = 0;
    LatencyProbe* probe_ = nullptr;
    int32_t mediaWaitMsForTest_ = 0;
    // Written by the receive thread as it ends, read by the event thread
    // after joining it.
    uint32_t overflowDrops_ = 0;
    ConnectOverride connectOverride_;
    int32_t connectLimitMsForTest_ = 0;
    int32_t handshakeLimitMsForTest_ = 0;
    std::function<void(int32_t)> eventHook_;
    // Set when the timer thread posts a keep-alive, cleared when the event
    // thread takes it: one waiting request is enough, however long the
    // event thread is held up.
    std::atomic<bool> keepAlivePending_{false};
    // Raised by stop() for the attempt the event thread is in.
    CancelSignal cancel_;
    // Numbers the connection attempts; written by the event thread before
    // the timer and receive threads of an attempt exist.
    uint32_t connectionId_ = 0;
    // Reconnecting; event thread only. Waiting: the next attempt is due at
    // reconnectAtMs_ (monotonic). Posted: its Reconnect event is queued.
    enum class ReconnectStage : uint8_t { None, Waiting, Posted };
    ReconnectStage reconnectStage_ = ReconnectStage::None;
    uint64_t reconnectAtMs_ = 0;
    ReconnectPolicy reconnectPolicy_;
    // Writes to the loopback device only while neither the timer nor the
    // receive thread exists.
    SilenceFeeder gapFiller_;
    EventQueue eventQueue_;
};

}  // namespace vexlink
