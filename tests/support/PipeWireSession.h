#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"

namespace vexlink::test {

// A PipeWire session of the test's own: `pipewire`, `wireplumber` and
// `pipewire-pulse` under a D-Bus session bus of their own, with a private
// runtime folder (sockets), home, configuration and state, so that nothing
// of the machine's own session is seen or touched. The daemons read the
// fragments in tests/support/pipewire-config: WirePlumber keeps off the
// machine's sound cards, cameras and Bluetooth (PipeWire's dummy driver then
// runs the graph), and a forced quantum need not be a power of two. The
// daemons run in a process group of their own, which stop() ends as a whole.
//
//   test::PipeWireSession pw;
//   std::string why;
//   if (!pw.start(&why)) ...                  // also points this process at it
//   pw.run({"pactl", "list", "sources"}, &out);
class PipeWireSession {
public:
    PipeWireSession();   // makes the private folders; starts nothing
    ~PipeWireSession();  // stop(), then removes the folders
    PipeWireSession(const PipeWireSession&) = delete;
    PipeWireSession& operator=(const PipeWireSession&) = delete;

    // Points this process at the private folders (libpipewire and the tools
    // then look for the daemons there only), starts the daemons and waits
    // until all three answer. False with `why` when one does not within
    // `limit`; `why` starts with "missing program" when one is not
    // installed.
    bool start(std::string* why, std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Ends the daemons' process group, waits until they are gone and gives
    // this process its environment back. Safe to call more than once.
    void stop();

    // Only points this process at the (empty) private folders: a session
    // in which no daemon answers.
    void useWithoutDaemons();

    const std::string& runtimeDir() const { return runtimeDir_; }
    // The entries that point a child process at this session.
    const std::vector<std::string>& environment() const { return environment_; }
    // What the daemons wrote to standard error (for failure messages).
    std::string daemonLog() const;

    // Runs a program found on PATH with the session's environment; returns
    // its exit status, or -1 when it did not end within `limit`.
    int run(const std::vector<std::string>& command, std::string* out = nullptr,
            std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    // Starts a program found on PATH with the session's environment.
    std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& command) const;

    // Polls `done` every 50 ms until it is true or `limit` passes.
    template <class F>
    static bool waitUntil(F done, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            nap();
        }
        return true;
    }

    // The full path of `name` on PATH, or "" when it is not there.
    static std::string findProgram(const std::string& name);

private:
    static void nap();
    void setProcessEnvironment();
    void restoreProcessEnvironment();
    bool answers(std::string* why) const;

    std::string folder_;
    std::string runtimeDir_;
    std::vector<std::string> environment_;
    std::vector<std::pair<std::string, std::unique_ptr<std::string>>> savedEnvironment_;
    std::unique_ptr<ChildProcess> daemons_;
    std::string savedLog_;
};

}  // namespace vexlink::test
