#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "RunAnalysis.h"
#include "tools/phonesim/SimulatorConfig.h"

namespace vexlink::bench {

// The simulator's counters of one session.
struct PhoneReport {
    uint64_t generated = 0, sent = 0, lost = 0, duplicates = 0, reordered = 0, garbage = 0, sendErrors = 0;
};

// The phone simulator in a child process of its own, so that the
// benchmark's getrusage counts the client alone. Fork it before the process
// has any thread (ALSA and the controller come after), so the child is a
// clean copy. The child serves one session, tells the parent its port, the
// end of the voice, and at the end its counters and each frame's first send
// time (both sides read CLOCK_MONOTONIC), then ends without running the
// parent's exit handlers. The child runs at a real-time priority (or a
// favoured niceness) where it may: the phone's pacing stands for a device
// of its own, not for this machine's load.
//
// Threads: the benchmark's main thread only.
class PhoneProcess {
public:
    PhoneProcess(const phonesim::SimulatorConfig& config, uint32_t voiceMs);
    ~PhoneProcess();  // kills and reaps a child still running
    PhoneProcess(const PhoneProcess&) = delete;
    PhoneProcess& operator=(const PhoneProcess&) = delete;

    // Forks and waits for the listening port.
    bool start(std::string* error);
    uint16_t port() const { return port_; }
    // The last packet has gone out.
    bool waitMediaDone(int limitMs);
    // After the client has left: the counters and the frames by index; reaps.
    bool finish(PhoneReport& report, std::vector<SentFrame>& frames);

private:
    [[noreturn]] void runChild(int out);
    void kill();

    phonesim::SimulatorConfig config_;
    uint32_t voiceMs_;
    pid_t child_ = -1;
    int in_ = -1;
    uint16_t port_ = 0;
};

}  // namespace vexlink::bench
