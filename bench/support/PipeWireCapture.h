#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pw_stream;
struct spa_hook;

namespace vexlink {
class PipeWireConnection;
}  // namespace vexlink

namespace vexlink::bench {

// The benchmark's own recording program: a PipeWire capture stream (S16
// mono 48 kHz) linked to one node, which keeps every sample it receives
// and, for each buffer, when its process cycle ran (CLOCK_MONOTONIC, read in
// the cycle) and the graph's time of that cycle. Everything is allocated by
// the constructor; a cycle past the room is counted, not kept.
//
// Threads: open(), close() and the results on one controlling thread (the
// results once close() returned); the process cycle on the capture's own
// PipeWire data thread; cycles() and cpuUs() from any thread.
class PipeWireCapture {
public:
    struct Buffer {
        uint64_t first = 0;    // index of its first sample in the capture
        uint32_t count = 0;    // samples
        uint64_t cycleUs = 0;  // the graph's time of the cycle
        uint64_t heardUs = 0;  // when the cycle handed it over
    };

    PipeWireCapture(size_t maxSamples, size_t maxBuffers);
    ~PipeWireCapture();  // close()
    PipeWireCapture(const PipeWireCapture&) = delete;
    PipeWireCapture& operator=(const PipeWireCapture&) = delete;

    // Connects and links to the node named `target`; true once the stream
    // runs (within `timeoutMs`).
    bool open(const char* target, int32_t timeoutMs);
    void close();
    const std::string& error() const { return error_; }

    uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
    // CPU time of the capture's data thread, as read in its last cycle.
    uint64_t cpuUs() const { return cpuUs_.load(std::memory_order_relaxed); }

    // After close().
    std::vector<int16_t> samples() const;
    std::vector<Buffer> buffers() const;
    uint64_t overflows() const { return overflows_; }

private:
    static void onStateChanged(void* self, int oldState, int state, const char* error);
    static void onProcess(void* self);

    std::unique_ptr<int16_t[]> samples_;
    size_t sampleRoom_;
    std::unique_ptr<Buffer[]> buffers_;
    size_t bufferRoom_;
    size_t sampleCount_ = 0;  // data thread, then the controlling thread
    size_t bufferCount_ = 0;  // data thread, then the controlling thread
    uint64_t overflows_ = 0;  // data thread, then the controlling thread

    std::unique_ptr<PipeWireConnection> connection_;
    std::unique_ptr<spa_hook> listener_;
    pw_stream* stream_ = nullptr;
    int state_ = 0;  // under the loop's lock
    std::string streamError_;
    std::string error_;
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> cpuUs_{0};
};

}  // namespace vexlink::bench
