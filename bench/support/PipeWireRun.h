#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PipeWireCapture.h"

namespace vexlink {
class AdaptiveFeed;
class LatencyProbe;
class PipeWireSource;
namespace test {
class PipeWireSession;
}  // namespace test
}  // namespace vexlink

namespace vexlink::bench {

class GraphTap;

// The PipeWire output of one benchmark run: a private PipeWire session
// (tests/support/PipeWireSession) at a forced quantum or its default, the
// client's "vexlink" node over the adaptive playout (through a GraphTap),
// and the benchmark's own capture stream linked to it, recording from
// before the connection to after it.
//
// Threads: one controlling thread; the node and the capture run on their
// own PipeWire data threads between open() and close().
class PipeWireRun {
public:
    // Room for `seconds` of output and capture (more is counted, not kept).
    explicit PipeWireRun(uint32_t seconds);  // points this process at the private session
    ~PipeWireRun();
    PipeWireRun(const PipeWireRun&) = delete;
    PipeWireRun& operator=(const PipeWireRun&) = delete;

    // Starts the daemons; quantum 0 leaves the graph's default.
    bool start(int32_t quantum, std::string* error);
    // The node over `feed`, and the capture linked to it.
    bool open(AdaptiveFeed& feed, LatencyProbe* probe, std::string* error);
    // Capture first, then the node: the capture holds all the node gave.
    void close();

    uint64_t captureCpuUs() const { return capture_->cpuUs(); }
    // Memory the run keeps for its records (resident from the start).
    double recordsMb() const;

    // After close().
    std::vector<int16_t> output() const;
    std::vector<int16_t> captured() const { return capture_->samples(); }
    std::vector<PipeWireCapture::Buffer> buffers() const { return capture_->buffers(); }
    // The capture's buffer size most seen (the graph's quantum), 0: none.
    uint32_t quantum() const;
    uint64_t overflows() const;

private:
    size_t samples_;
    std::unique_ptr<test::PipeWireSession> session_;
    std::unique_ptr<GraphTap> tap_;
    std::unique_ptr<PipeWireSource> node_;
    std::unique_ptr<PipeWireCapture> capture_;
};

}  // namespace vexlink::bench
