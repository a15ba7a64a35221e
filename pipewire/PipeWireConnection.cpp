#include "pipewire/PipeWireConnection.h"

#include <cerrno>
#include <cstring>

#include <pipewire/pipewire.h>

namespace vexlink {

namespace {

void initOnce() {
    // A local static's initialiser runs once, whichever thread comes first.
    static const bool initialised = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    (void)initialised;
}

}  // namespace

PipeWireConnection::PipeWireConnection() : coreListener_(std::make_unique<spa_hook>()) {}

PipeWireConnection::~PipeWireConnection() { disconnect(); }

bool PipeWireConnection::connect(int32_t timeoutMs) {
    disconnect();
    initOnce();
    error_.clear();
    synced_ = false;
    failed_ = false;
    loop_ = pw_thread_loop_new("vexlink-pw", nullptr);
    if (loop_ == nullptr) {
        error_ = std::string("cannot create PipeWire's loop: ") + std::strerror(errno);
        return false;
    }
    // client-rt.conf: the data thread asks for real-time scheduling, which
    // the process cycle (it neither blocks nor allocates) is fit for.
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                              pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (context_ == nullptr) {
        error_ = std::string("cannot create a PipeWire context: ") + std::strerror(errno);
        return false;
    }
    if (pw_thread_loop_start(loop_) < 0) {
        error_ = "cannot start PipeWire's loop thread";
        return false;
    }
    lock();
    pw_thread_loop_get_time(loop_, &deadline_, int64_t{timeoutMs} * SPA_NSEC_PER_MSEC);
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) {
        error_ = "no PipeWire daemon answered";
        unlock();
        return false;
    }
    static const pw_core_events events = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &PipeWireConnection::onDone;
        e.error = &PipeWireConnection::onError;
        return e;
    }();
    *coreListener_ = spa_hook{};
    pw_core_add_listener(core_, coreListener_.get(), &events, this);
    syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    waiting_ = true;
    while (!synced_ && !failed_) {
        if (!wait()) {
            error_ = "no PipeWire daemon answered within " + std::to_string(timeoutMs) + " ms";
            break;
        }
    }
    waiting_ = false;
    const bool ok = synced_ && !failed_;
    unlock();
    return ok;
}

void PipeWireConnection::disconnect() {
    if (loop_ == nullptr) return;
    pw_thread_loop_stop(loop_);
    if (core_ != nullptr) {
        spa_hook_remove(coreListener_.get());
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    if (context_ != nullptr) {
        pw_context_destroy(context_);
        context_ = nullptr;
    }
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
}

void PipeWireConnection::lock() { pw_thread_loop_lock(loop_); }
void PipeWireConnection::unlock() { pw_thread_loop_unlock(loop_); }

void PipeWireConnection::destroyStream(pw_stream*& stream, spa_hook* listener) {
    if (stream == nullptr) return;
    lock();
    spa_hook_remove(listener);
    pw_stream_destroy(stream);
    stream = nullptr;
    unlock();
}

bool PipeWireConnection::wait() {
    return pw_thread_loop_timed_wait_full(loop_, &deadline_) == 0;
}

void PipeWireConnection::signal() { pw_thread_loop_signal(loop_, false); }

void PipeWireConnection::onDone(void* self, uint32_t id, int seq) {
    auto* c = static_cast<PipeWireConnection*>(self);
    if (c->waiting_ && id == PW_ID_CORE && seq == c->syncSeq_) {
        c->synced_ = true;
        c->signal();
    }
}

void PipeWireConnection::onError(void* self, uint32_t id, int /*seq*/, int res, const char* message) {
    auto* c = static_cast<PipeWireConnection*>(self);
    // Only a failure of the connection while connect() waits is ours to
    // report; errors about other objects (the node) reach their own
    // listeners, and after connect() the caller reads error() unlocked.
    if (!c->waiting_ || id != PW_ID_CORE) return;
    c->failed_ = true;
    c->error_ = std::string("the PipeWire daemon refused the connection: ") +
                (message != nullptr ? message : std::strerror(-res));
    c->signal();
}

}  // namespace vexlink
