#include "control/MicController.h"

#include "audio/AudioFormat.h"
#include "audio/LocalPlayer.h"
#include "audio/LoopbackWriter.h"
#include "audio/OpusVoiceDecoder.h"
#include "control/AdaptiveFeed.h"
#include "control/AdaptiveTick.h"
#include "control/ConnectionPacketSource.h"
#include "control/VoiceReceiver.h"
#include "media/MediaStream.h"
#include "media/ReceptionStats.h"
#include "media/WifiMediaStream.h"
#include "platform/Clock.h"
#include "session/ServerConnection.h"
#include "settings/Settings.h"
#include "transport/SocketErrorException.h"

namespace vexlink {

MicController::MicController(PlayerCallback* callback) : MicController(callback, nullptr) {}

MicController::MicController(PlayerCallback* callback, LoopbackWriter* loopback)
    : callback_(callback),
      localPlayer_(std::make_unique<LocalPlayer>(kSampleRate)),
      // Null: the process-wide writer, taken at the first connect request
      // on the ALSA output (its first use opens the loopback device).
      loopback_(loopback),
      // Taken before the event thread exists, so that thread only ever reads
      // the pointer.
      stats_(ReceptionStats::instance()),
      sink_(loopback_, localPlayer_.get()),
      tick_(playoutQueue_, sink_, *stats_),
      gapFiller_(loopback_) {
    eventThreadRunning_ = createThread(&MicController::eventThreadMain, this, &eventThread_);
    if (eventThreadRunning_) raiseThreadPriority(eventThread_);
}

MicController::~MicController() {
    // An attempt under way ends at once rather than at its deadline.
    cancel_.request(post(kEventQuit, 0));
    // The front end ends the process from inside the callback, i.e. on the
    // event thread; that thread cannot wait for itself (joinThread returns
    // at once) and the teardown goes on without waiting. It never comes back
    // to the loop, so tearing down under it is safe.
    if (eventThreadRunning_) joinThread(eventThread_);
    // Every disconnect stops the timer already; make sure no tick can reach
    // members that are about to go.
    timer_.stop();
    // The rest goes with the members: the local player (closed by its
    // destructor if still open), a connection the exit path left behind, the
    // last frame, queued frames and events, and the timer (stopped if it
    // still runs).
}

int32_t MicController::start() {
    post(kEventConnect, 0);
    return 0;
}

int32_t MicController::stop() {
    // Numbered first: only an attempt begun for an earlier Connect is
    // cancelled, and the Disconnect left in the queue then finds nothing to
    // do.
    cancel_.request(post(kEventDisconnect, 0));
    return 0;
}

void MicController::setLatencyProbe(LatencyProbe* probe) {
    probe_ = probe;
    tick_.setLatencyProbe(probe);
}

SampleSource& MicController::graphSource() {
    ensureAdaptive();
    return *adaptive_;
}

PlayoutCounters MicController::adaptiveFigures() const {
    const AdaptiveFeed* feed = adaptiveView_.load(std::memory_order_acquire);
    return feed != nullptr ? feed->figures() : PlayoutCounters{};
}

PlayoutStatus MicController::playoutStatus() const {
    PlayoutStatus s = tick_.status();
    const AdaptiveFeed* feed = adaptiveView_.load(std::memory_order_acquire);
    if (feed == nullptr) return s;
    const PlayoutStatus a = feed->status();
    if (playout_.load(std::memory_order_relaxed) != Playout::Queue) {
        s.peakLevel = a.peakLevel;
        s.delayMs = a.delayMs;
    }
    s.playedFrames += a.playedFrames;
    s.concealedFrames += a.concealedFrames;
    s.lateFrames += a.lateFrames;
    return s;
}

void MicController::ensureAdaptive() {
    if (adaptive_) return;
    PlayoutConfig config = playoutConfig_;
    config.concealment = Settings::getConcealment();
    adaptive_ = std::make_unique<AdaptiveFeed>(config);
    if (Settings::getOutput() == OutputKind::Alsa) adaptiveTick_ = std::make_unique<AdaptiveTick>(*adaptive_, sink_);
    adaptiveView_.store(adaptive_.get(), std::memory_order_release);
}

void MicController::choosePlayout() {
    const bool alsa = Settings::getOutput() == OutputKind::Alsa;
    bool adaptive = true;
    if (alsa) {
        switch (Settings::getPlayoutMode()) {
            case PlayoutMode::Adaptive: break;
            case PlayoutMode::Queue: adaptive = false; break;
            case PlayoutMode::Auto: adaptive = serverVersion_.load() >= 4; break;
        }
    }
    playout_.store(!adaptive ? Playout::Queue : alsa ? Playout::AdaptiveTick : Playout::AdaptiveGraph);
    if (!adaptive) return;
    ensureAdaptive();
    adaptive_->beginConnection(serverVersion_.load());
    if (adaptiveTick_) {
        // A later connection of a reconnecting run writes silence until its
        // first frame, as the queue's tick does.
        adaptiveTick_->beginConnection(tick_.fillWhileEmpty());
        adaptiveTick_->setLatencyProbe(probe_);
    }
}

void MicController::endAdaptivePlayout() {
    if (playout_.load() == Playout::Queue) return;
    PlayoutCounters c;
    stats_->dropped += adaptive_->endConnection(&c);
    ReceptionStats::PlayoutSummary& p = stats_->playout;
    p.adaptive = true;
    p.targetDelaySamples = c.targetDelaySamples;
    p.late = c.discardedLate;
    p.duplicates = c.discardedDuplicate;
    // Frames missing within the voice; underruns before it began, after it
    // ended and while the sender paused are not.
    p.concealed = c.concealedLost + c.concealedLate;
    p.played = c.framesPlayed;
    p.ratio = c.ratio;
}

uint64_t MicController::post(int32_t code, int32_t result, uint32_t connectionId) {
    auto event = std::make_unique<ControllerEvent>();
    event->code = code;
    event->result = result;
    event->connectionId = connectionId;
    return eventQueue_.post(std::move(event));
}

bool MicController::isStale(const ControllerEvent& event) const {
    // A receive thread that fails while its connection is already being torn
    // down still posts; by the time that request is taken, a new connection
    // may be up and must not be ended by it.
    return event.connectionId != 0 && event.connectionId != connectionId_;
}

void MicController::setState(int32_t state, int32_t result, int32_t detail) {
    state_.store(state);
    if (callback_ != nullptr) callback_->onStateChanged(state, result, detail);
}

// ---------------------------------------------------------------- event thread

void MicController::eventThreadMain(void* self) { static_cast<MicController*>(self)->eventLoop(); }

void MicController::eventLoop() {
    for (;;) {
        std::unique_ptr<ControllerEvent> event = nextEvent();
        if (eventHook_) eventHook_(event->code);
        switch (event->code) {
            case kEventQuit:
                // Destroyed during a connection: end it in order first, so no
                // receive or timer thread outlives the controller.
                disconnectSequence(kResultOk);
                gapFiller_.stop();
                return;
            case kEventConnect:
                connectSequence(event->order);
                break;
            case kEventReconnect:
                // Dropped when a stop ended the run while it was queued.
                if (reconnectStage_ == ReconnectStage::Posted) connectSequence(event->order);
                break;
            case kEventDisconnect:
                if (reconnectStage_ != ReconnectStage::None) {
                    // Between two connections: the run ends here, reported
                    // as a stop that abandons an attempt.
                    reconnectStage_ = ReconnectStage::None;
                    abandonAttempt();
                } else {
                    disconnectSequence(kResultOk);
                }
                break;
            case kEventSendKeepAlive:
                keepAlivePending_.store(false);
                if (!isStale(*event)) sendKeepAlive();
                break;
            case kEventDisconnectOnError:
                if (!isStale(*event)) disconnectSequence(event->result);
                break;
            default:
                break;  // nothing else is ever posted
        }
    }
}

std::unique_ptr<ControllerEvent> MicController::nextEvent() {
    while (reconnectStage_ == ReconnectStage::Waiting) {
        const uint64_t now = monotonicMs();
        if (now >= reconnectAtMs_) {
            // The attempt queues behind whatever was posted meanwhile: a stop
            // that came first ends the run before it, and one that comes
            // later is numbered after it and cancels it.
            reconnectStage_ = ReconnectStage::Posted;
            post(kEventReconnect, 0);
            break;
        }
        if (auto event = eventQueue_.take(static_cast<int32_t>(reconnectAtMs_ - now))) return event;
    }
    return eventQueue_.take();
}

void MicController::connectSequence(uint64_t order) {
    if (state_.load() != kStateDisconnected) return;
    takeLoopback();
    reconnectStage_ = ReconnectStage::None;  // an earlier Connect needs no Reconnect
    // Stop requests numbered after this Connect cancel it until it is over.
    cancel_.beginAttempt(order);
    struct AttemptScope {
        CancelSignal& cancel;
        ~AttemptScope() { cancel.endAttempt(); }
    } attempt{cancel_};
    setState(kStateConnecting, 0, 0);
    ++connectionId_;
    if (connectionId_ == 0) ++connectionId_;  // 0 means "any connection"

    connection_ = std::make_unique<ServerConnection>();
    connection_->setCancelSignal(&cancel_);
    connection_->setLimitsMs(connectLimitMsForTest_, handshakeLimitMsForTest_);
    const int32_t connectResult = connectOverride_ ? connectOverride_(*connection_) : connection_->connect();
    // A stop during a step wins over whatever the step came to.
    if (cancel_.cancelled()) return abandonAttempt();
    if (connectResult != 0) {
        // The front end tells the user why the media port could not be used.
        const int32_t detail = connectResult == kConnMediaOpenFailed ? connection_->mediaOpenError() : 0;
        return failAttempt(translateConnectionResult(connectResult), detail);
    }

    int32_t handshakeResult;
    try {
        handshakeResult = handshake();
    } catch (const SocketErrorException& e) {
        if (cancel_.cancelled()) return abandonAttempt();
        return failAttempt(kResultHandshakeSocketError, e.error());
    }
    if (cancel_.cancelled()) return abandonAttempt();
    if (handshakeResult != 0) return failAttempt(translateConnectionResult(handshakeResult), 0);

    // Prepare the voice flow while no other thread touches it.
    // The local player is opened whatever play-locally says (its result is
    // not needed); the PipeWire output, which refuses -l, never opens it.
    if (Settings::getOutput() == OutputKind::Alsa) localPlayer_->open();
    playoutQueue_.clear();
    tick_.releaseLastFrame();
    stats_->reset();
    choosePlayout();
    if (mediaWaitMsForTest_ > 0) {
        if (auto* wifi = dynamic_cast<WifiMediaStream*>(connection_->mediaStream())) {
            wifi->setReceiveWaitMs(mediaWaitMsForTest_);
        }
    }

    // From here on the playout feeds the device.
    gapFiller_.stop();
    // Connected is reported before any thread of the voice flow exists, so
    // the front end sees no activity ahead of it.
    setState(kStateConnected, 0, 0);
    startVoiceFlow();
}

void MicController::takeLoopback() {
    // At the first attempt: no silence feeder runs yet, no playout either.
    if (loopback_ != nullptr || Settings::getOutput() != OutputKind::Alsa) return;
    loopback_ = LoopbackWriter::instance();
    sink_.setLoopback(loopback_);
    gapFiller_.setLoopback(loopback_);
}

void MicController::abandonAttempt() {
    // Reported as a stop while connected is: the front end prints the same
    // lines and ends the same way.
    setState(kStateDisconnecting, 0, 0);
    setState(kStateDisconnected, kResultOk, 0);
    releaseConnection();
    afterEnd(kResultOk, false);
}

void MicController::failAttempt(int32_t result, int32_t detail) {
    setState(kStateDisconnected, result, detail);
    releaseConnection();
    afterEnd(result, false);
}

void MicController::afterEnd(int32_t result, bool carriedVoice) {
    if (!ReconnectPolicy::followsEnd(result)) {
        gapFiller_.stop();  // the run is over
        return;
    }
    keepOutputRunning();
    const int32_t waitMs = reconnectPolicy_.nextWaitMs(carriedVoice);
    reconnectAtMs_ = monotonicMs() + static_cast<uint64_t>(waitMs);
    reconnectStage_ = ReconnectStage::Waiting;
    if (callback_ != nullptr) callback_->onReconnectWait(waitMs);
}

void MicController::keepOutputRunning() {
    // Called while no playout runs. A PipeWire node fills its own cycles
    // with silence while it has nothing to play.
    if (Settings::getOutput() != OutputKind::Alsa) return;
    (void)gapFiller_.start();  // without its thread the device only pauses
    tick_.setFillWhileEmpty(true);
}

int32_t MicController::handshake() {
    // One deadline for the three exchanges together, counted from the first
    // request; lifted once the handshake is over, so the connected stream
    // waits without limit.
    connection_->beginHandshake();
    int32_t version = 0;
    int32_t result = connection_->sendHello(version);
    if (result != 0) return result;
    serverVersion_.store(version);
    result = connection_->sendSetup(kSetupFirst, kSetupSecond);
    if (result != 0) return result;
    framePeriodMs_ = kFrameMs;
    sampleRate_ = kSampleRate;
    channels_ = kChannels;
    result = connection_->sendStart();
    connection_->endHandshake();
    return result;
}

void MicController::startVoiceFlow() {
    receiveThreadRunning_ = createThread(&MicController::receiveThreadMain, this, &receiveThread_);
    if (!receiveThreadRunning_) {
        // Without a receive thread no voice can ever arrive.
        post(kEventDisconnectOnError, kResultNoAudio, connectionId_);
        return;
    }
    raiseThreadPriority(receiveThread_);
    if (!timer_.start(this, framePeriodMs_)) {
        // Without the timer neither playout nor keep-alives happen.
        post(kEventDisconnectOnError, kResultAborted, connectionId_);
    }
}

void MicController::disconnectSequence(int32_t result) {
    if (state_.load() != kStateConnected) return;
    setState(kStateDisconnecting, 0, 0);
    timer_.stop();
    // The device hears silence while the next attempt is prepared.
    if (ReconnectPolicy::followsEnd(result)) keepOutputRunning();
    // A receive thread may wait on the link (Bluetooth: without limit; UDP:
    // up to 3 s per attempt). Make that read fail now so the join is prompt;
    // the thread's own DisconnectOnError is then ignored here.
    if (connection_) connection_->interruptReads();
    if (receiveThreadRunning_) {
        joinThread(receiveThread_);
        receiveThreadRunning_ = false;
        // Both threads have ended: fold the frames the full queue discarded
        // into the one dropped count that the report shows.
        stats_->dropped += overflowDrops_;
        overflowDrops_ = 0;
        if (connection_ && connection_->mediaStream() != nullptr) {
            stats_->foreignDatagrams = connection_->mediaStream()->foreignDatagrams();
        }
    }
    endAdaptivePlayout();
    setState(kStateDisconnected, result, 0);
    releaseConnection();
    localPlayer_->close();
    tick_.releaseLastFrame();
    // Frames that arrived after the last tick are never played.
    playoutQueue_.clear();
    afterEnd(result, stats_->received > 0);
}

void MicController::releaseConnection() {
    if (!connection_) return;
    connection_->close();
    connection_.reset();
}

void MicController::sendKeepAlive() {
    if (state_.load() != kStateConnected) return;
    try {
        connection_->sendKeepAlive();
    } catch (const SocketErrorException&) {
        disconnectSequence(kResultAborted);
    }
}

// -------------------------------------------------------------- receive thread

void MicController::receiveThreadMain(void* self) { static_cast<MicController*>(self)->receiveLoop(); }

void MicController::receiveLoop() {
    // The connection and the settings of the handshake stay fixed while this
    // thread exists: the event thread changes them only after joining it.
    ConnectionPacketSource source(*connection_);
    VoiceReceiver receiver(source, state_, serverVersion_.load(), playoutQueue_, *stats_);
    receiver.setLatencyProbe(probe_);
    int32_t result;
    if (playout_.load() == Playout::Queue) {
        OpusVoiceDecoder decoder(sampleRate_, channels_);
        result = receiver.run(decoder);
        overflowDrops_ = receiver.overflowDrops();
    } else {
        result = receiver.run(adaptive_->ring());
    }
    if (result != 0) post(kEventDisconnectOnError, result, connectionId_);
}

// ---------------------------------------------------------------- timer thread

void MicController::onTimer() {
    if (state_.load() != kStateConnected) return;
    switch (playout_.load(std::memory_order_relaxed)) {
        case Playout::Queue:
            tick_.tick();
            break;
        case Playout::AdaptiveTick:
            if (const uint64_t nextUs = adaptiveTick_->tick(timer_.scheduledUs())) timer_.moveNextTick(nextUs);
            break;
        case Playout::AdaptiveGraph:
            break;  // the graph's data thread pulls; this tick only keeps the connection alive
    }
    if (++keepAliveTicks_ >= kKeepAliveTicks) {
        if (!keepAlivePending_.exchange(true)) post(kEventSendKeepAlive, 0, connectionId_);
        keepAliveTicks_ = 0;
    }
}

}  // namespace vexlink
