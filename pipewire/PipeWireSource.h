#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

struct pw_stream;
struct spa_hook;

namespace vexlink {

class PipeWireConnection;
class SampleSource;

// The phone's voice as a microphone of the PipeWire graph: one Audio/Source
// node (node name "vexlink", description "Phone microphone", S16 mono
// 48000 Hz) that recording programs, the desktop's sound settings and
// `pactl list sources` see as an input. The node is not a driver: the
// graph's clock runs it while something records from it, and each of its
// cycles pulls exactly the samples the graph asks for (any count) from the
// SampleSource, stamped with the cycle's start on the graph's clock
// (CLOCK_MONOTONIC). While nobody records, the graph does not run it and
// nothing is pulled: the source must not depend on being pulled.
//
// Threads:
// - open(), close() and the destructor: one controlling thread, never at
//   the same time as each other.
// - PipeWire's own loop thread (started by open()): connection and stream
//   events, with that loop's lock held.
// - PipeWire's real-time data thread: the process cycle, which calls
//   SampleSource::pull once per cycle and neither blocks nor allocates.
//   close() returns only after the last cycle has ended.
// - cycles() and silentSamples(): any thread.
class PipeWireSource {
public:
    static constexpr const char* kNodeName = "vexlink";
    static constexpr const char* kDescription = "Phone microphone";
    // How long open() and daemonAnswers() wait for the daemon's answers.
    static constexpr int32_t kAnswerTimeoutMs = 2000;

    explicit PipeWireSource(SampleSource& source);
    ~PipeWireSource();  // close()
    PipeWireSource(const PipeWireSource&) = delete;
    PipeWireSource& operator=(const PipeWireSource&) = delete;

    // Connects to the PipeWire daemon and creates the node; returns once the
    // node exists in the graph. False, with error() saying why and nothing
    // left behind, when no daemon answers within `timeoutMs` or the daemon
    // refuses the node.
    bool open(int32_t timeoutMs = kAnswerTimeoutMs);
    // Removes the node and disconnects. Safe when not open.
    void close();
    bool isOpen() const { return stream_ != nullptr; }
    const std::string& error() const { return error_; }

    // Process cycles run, and samples of them that were silence because the
    // source had nothing (counted since open()).
    uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
    uint64_t silentSamples() const { return silentSamples_.load(std::memory_order_relaxed); }

    // True when a PipeWire daemon accepts a connection and answers within
    // `timeoutMs`; for messages that point at this output.
    static bool daemonAnswers(int32_t timeoutMs = kAnswerTimeoutMs);

private:
    bool createNode();
    static void onStateChanged(void* self, int oldState, int state, const char* error);
    static void onProcess(void* self);

    SampleSource& source_;
    std::unique_ptr<PipeWireConnection> connection_;
    std::unique_ptr<spa_hook> streamListener_;
    pw_stream* stream_ = nullptr;
    // The stream's state and error text, written by the loop thread and read
    // by open(), both under the loop's lock.
    int streamState_ = 0;
    std::string streamError_;
    std::string error_;
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> silentSamples_{0};
};

}  // namespace vexlink
