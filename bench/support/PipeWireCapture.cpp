#include "PipeWireCapture.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include "audio/AudioFormat.h"
#include "pipewire/PipeWireConnection.h"
#include "platform/Clock.h"

namespace vexlink::bench {

PipeWireCapture::PipeWireCapture(size_t maxSamples, size_t maxBuffers)
    : samples_(new int16_t[maxSamples]),
      sampleRoom_(maxSamples),
      buffers_(new Buffer[maxBuffers]),
      bufferRoom_(maxBuffers),
      listener_(std::make_unique<spa_hook>()) {
    // Touched now, so the cycles never fault a page in.
    std::fill(samples_.get(), samples_.get() + sampleRoom_, int16_t{0});
    std::fill(buffers_.get(), buffers_.get() + bufferRoom_, Buffer{});
}

PipeWireCapture::~PipeWireCapture() { close(); }

bool PipeWireCapture::open(const char* target, int32_t timeoutMs) {
    close();
    connection_ = std::make_unique<PipeWireConnection>();
    if (!connection_->connect(timeoutMs)) {
        error_ = connection_->error();
        close();
        return false;
    }
    connection_->lock();
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Production", PW_KEY_TARGET_OBJECT, target,
                                             PW_KEY_NODE_NAME, "vexlink-bench-capture", nullptr);
    stream_ = pw_stream_new(connection_->core(), "vexlink-bench-capture", props);
    bool ok = stream_ != nullptr;
    if (ok) {
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = [](void* self, pw_stream_state oldState, pw_stream_state state, const char* error) {
                onStateChanged(self, oldState, state, error);
            };
            e.process = &PipeWireCapture::onProcess;
            return e;
        }();
        *listener_ = spa_hook{};
        pw_stream_add_listener(stream_, listener_.get(), &events, this);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16;
        info.rate = kSampleRate;
        info.channels = kChannels;
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        uint8_t pod[512];
        spa_pod_builder builder{};
        spa_pod_builder_init(&builder, pod, sizeof pod);
        const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        ok = pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                               static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                            PW_STREAM_FLAG_RT_PROCESS),
                               params, 1) >= 0;
    }
    while (ok && state_ != PW_STREAM_STATE_STREAMING) {
        if (state_ == PW_STREAM_STATE_ERROR || !connection_->wait()) ok = false;
    }
    if (!ok) error_ = "the capture stream did not run: " + (streamError_.empty() ? "no answer in time" : streamError_);
    connection_->unlock();
    if (!ok) close();
    return ok;
}

void PipeWireCapture::close() {
    if (connection_ == nullptr) return;
    connection_->destroyStream(stream_, listener_.get());
    connection_.reset();
}

void PipeWireCapture::onStateChanged(void* self, int, int state, const char* error) {
    auto* c = static_cast<PipeWireCapture*>(self);
    c->state_ = state;
    if (state == PW_STREAM_STATE_ERROR && error != nullptr) c->streamError_ = error;
    c->connection_->signal();
}

void PipeWireCapture::onProcess(void* self) {
    auto* c = static_cast<PipeWireCapture*>(self);
    const uint64_t heardUs = monotonicUs();
    pw_buffer* b = pw_stream_dequeue_buffer(c->stream_);
    if (b == nullptr) return;
    const spa_data* d = b->buffer->n_datas >= 1 ? &b->buffer->datas[0] : nullptr;
    if (d != nullptr && d->data != nullptr && d->chunk != nullptr) {
        const uint32_t offset = std::min(d->chunk->offset, d->maxsize);
        const uint32_t count = std::min(d->chunk->size, d->maxsize - offset) / sizeof(int16_t);
        pw_time t{};
        const uint64_t cycleUs =
            pw_stream_get_time_n(c->stream_, &t, sizeof t) == 0 && t.now > 0 ? static_cast<uint64_t>(t.now) / 1000 : 0;
        if (c->bufferCount_ < c->bufferRoom_ && c->sampleCount_ + count <= c->sampleRoom_) {
            std::memcpy(c->samples_.get() + c->sampleCount_, static_cast<const uint8_t*>(d->data) + offset,
                        count * sizeof(int16_t));
            c->buffers_[c->bufferCount_++] = Buffer{c->sampleCount_, count, cycleUs, heardUs};
            c->sampleCount_ += count;
        } else {
            ++c->overflows_;
        }
    }
    pw_stream_queue_buffer(c->stream_, b);
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    c->cpuUs_.store(static_cast<uint64_t>(cpu.tv_sec) * 1000000u + static_cast<uint64_t>(cpu.tv_nsec) / 1000u,
                    std::memory_order_relaxed);
    c->cycles_.fetch_add(1, std::memory_order_relaxed);
}

std::vector<int16_t> PipeWireCapture::samples() const {
    return std::vector<int16_t>(samples_.get(), samples_.get() + sampleCount_);
}

std::vector<PipeWireCapture::Buffer> PipeWireCapture::buffers() const {
    return std::vector<Buffer>(buffers_.get(), buffers_.get() + bufferCount_);
}

}  // namespace vexlink::bench
