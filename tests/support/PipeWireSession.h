#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"

namespace vexlink::test {

// A PipeWire session of the test's own: `pipewire`, `wireplumber` and
// `pipewire-pulse` (tests/support/pipewire-session.sh) under a D-Bus session
// bus of their own, with private runtime, home, configuration and state
// folders, so nothing of the machine's own session is seen or touched. The
// daemons read tests/support/pipewire-config: WirePlumber keeps off the
// machine's sound cards, cameras and Bluetooth (PipeWire's dummy driver then
// runs the graph), and a forced quantum need not be a power of two.
//
//   test::PipeWireSession pw;                 // this process now looks there
//   ASSERT_TRUE(pw.start()) << pw.daemonLog();
//   pw.run({"pactl", "list", "sources"}, &out);
class PipeWireSession {
public:
    // Makes the private folders and points this process at them (libpipewire
    // and the tools look for daemons there only); no daemon answers yet.
    PipeWireSession();
    // Ends the daemons' process group, waits until they are gone, removes the
    // folders.
    ~PipeWireSession();
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // Starts the daemons; true once all three answer within `limit`.
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(60));

    const std::string& runtimeDir() const { return runtimeDir_; }
    std::string daemonLog() const { return daemons_ ? daemons_->stderrText() : ""; }

    // A program found on PATH, run to its end (its exit status) or started,
    // with the session's environment.
    int run(const std::vector<std::string>& command, std::string* out = nullptr) const;
    std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& command) const;

    // Polls `done` every 50 ms until it is true or `limit` passes.
    template <class F>
    static bool waitUntil(F done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

private:
    std::string folder_;
    std::string runtimeDir_;
    std::vector<std::string> environment_;
    std::unique_ptr<ChildProcess> daemons_;
};

}  // namespace vexlink::test
