#include "pipewire/PipeWireSource.h"

#include <algorithm>
#include <cstring>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "audio/AudioFormat.h"
#include "audio/SampleSource.h"
#include "pipewire/PipeWireConnection.h"
#include "platform/Clock.h"

namespace vexlink {

PipeWireSource::PipeWireSource(SampleSource& source)
    : source_(source), streamListener_(std::make_unique<spa_hook>()) {}

PipeWireSource::~PipeWireSource() { close(); }

bool PipeWireSource::open(int32_t timeoutMs) {
    close();
    error_.clear();
    cycles_.store(0, std::memory_order_relaxed);
    silentSamples_.store(0, std::memory_order_relaxed);
    connection_ = std::make_unique<PipeWireConnection>();
    if (!connection_->connect(timeoutMs)) {
        error_ = connection_->error();
        close();
        return false;
    }
    connection_->lock();
    const bool ok = createNode();
    connection_->unlock();
    if (!ok) close();
    return ok;
}

// With the loop's lock held: makes the stream and waits until the daemon
// has made its node (the stream is then paused until something records).
bool PipeWireSource::createNode() {
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio",
        PW_KEY_MEDIA_CLASS, "Audio/Source",
        PW_KEY_NODE_NAME, kNodeName,
        PW_KEY_NODE_DESCRIPTION, kDescription,
        nullptr);
    stream_ = pw_stream_new(connection_->core(), kNodeName, props);
    if (stream_ == nullptr) {
        error_ = std::string("cannot create the PipeWire stream: ") + std::strerror(errno);
        return false;
    }
    static const pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = [](void* self, pw_stream_state oldState, pw_stream_state state, const char* error) {
            onStateChanged(self, oldState, state, error);
        };
        e.process = &PipeWireSource::onProcess;
        return e;
    }();
    *streamListener_ = spa_hook{};
    streamState_ = PW_STREAM_STATE_UNCONNECTED;
    streamError_.clear();
    pw_stream_add_listener(stream_, streamListener_.get(), &events, this);

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16;
    info.rate = kSampleRate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    uint8_t podBuffer[512];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, podBuffer, sizeof podBuffer);
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    // No AUTOCONNECT: a source links to nothing itself, recorders link to
    // it. No DRIVER: the graph's clock runs it. RT_PROCESS: the cycle runs
    // on the data thread, so each one is served within its own cycle.
    const int res = pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS |
                                                                   PW_STREAM_FLAG_RT_PROCESS),
                                      params, 1);
    if (res < 0) {
        error_ = std::string("cannot connect the PipeWire stream: ") + std::strerror(-res);
        return false;
    }
    for (;;) {
        if (streamState_ == PW_STREAM_STATE_PAUSED || streamState_ == PW_STREAM_STATE_STREAMING) return true;
        if (streamState_ == PW_STREAM_STATE_ERROR) {
            error_ = "the PipeWire daemon refused the \"" + std::string(kDescription) + "\" node: " + streamError_;
            return false;
        }
        if (!connection_->wait()) {
            error_ = "the PipeWire daemon did not create the \"" + std::string(kDescription) + "\" node in time";
            return false;
        }
    }
}

void PipeWireSource::close() {
    if (connection_ == nullptr) return;
    connection_->destroyStream(stream_, streamListener_.get());  // no cycle runs after this
    connection_.reset();
}

void PipeWireSource::onStateChanged(void* self, int /*oldState*/, int state, const char* error) {
    auto* s = static_cast<PipeWireSource*>(self);
    s->streamState_ = state;
    if (state == PW_STREAM_STATE_ERROR && error != nullptr) s->streamError_ = error;
    s->connection_->signal();
}

void PipeWireSource::onProcess(void* self) {
    auto* s = static_cast<PipeWireSource*>(self);
    pw_buffer* b = pw_stream_dequeue_buffer(s->stream_);
    if (b == nullptr) return;
    spa_buffer* buffer = b->buffer;
    if (buffer->n_datas < 1 || buffer->datas[0].data == nullptr) {
        pw_stream_queue_buffer(s->stream_, b);
        return;
    }
    spa_data& d = buffer->datas[0];
    const uint32_t capacity = d.maxsize / sizeof(int16_t);
    const uint32_t wanted = b->requested != 0 ? std::min<uint64_t>(b->requested, capacity) : capacity;
    // The graph's time for this cycle: when its driver started it, on the
    // monotonic clock, the same instant for every node of the cycle and
    // free of this thread's wake-up delay.
    pw_time t{};
    const uint64_t nowUs = pw_stream_get_time_n(s->stream_, &t, sizeof t) == 0 && t.now > 0
                               ? static_cast<uint64_t>(t.now) / 1000
                               : monotonicUs();
    auto* out = static_cast<int16_t*>(d.data);
    const int32_t got = std::clamp(s->source_.pull(out, static_cast<int32_t>(wanted), nowUs), 0,
                                   static_cast<int32_t>(wanted));
    if (static_cast<uint32_t>(got) < wanted) {
        std::memset(out + got, 0, (wanted - got) * sizeof(int16_t));
        s->silentSamples_.fetch_add(wanted - got, std::memory_order_relaxed);
    }
    d.chunk->offset = 0;
    d.chunk->stride = sizeof(int16_t);
    d.chunk->size = wanted * sizeof(int16_t);
    pw_stream_queue_buffer(s->stream_, b);
    s->cycles_.fetch_add(1, std::memory_order_relaxed);
}

bool PipeWireSource::daemonAnswers(int32_t timeoutMs) {
    PipeWireConnection connection;
    return connection.connect(timeoutMs);
}

}  // namespace vexlink
