#pragma once

#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

namespace vexlink {

// Hands Ctrl-C to ordinary code. The SIGINT handler may interrupt any thread,
// including one that holds the controller's event-queue lock, so it only
// writes the signal number into a pipe (write() is async-signal-safe); a
// watcher thread reads the pipe and runs the interrupt action (the
// controller's stop) or reports a number it does not expect.
//
// One watcher can be active in the process at a time. start() and stop()
// are called from one thread (main, or the thread that runs the process's
// exit); the action and the "Unkown signal" line run on the watcher thread.
class SignalWatcher {
public:
    SignalWatcher() = default;
    ~SignalWatcher() { stop(); }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Creates the pipe and the watcher thread, then installs the handler
    // for SIGINT with sigaction (SA_SIGINFO only, empty mask, so blocking
    // calls are not restarted). False, with nothing left running, when any
    // step fails or another watcher is active.
    bool start(std::function<void()> onInterrupt, FILE* out = stdout);

    // Makes the handler inert (it stays installed: an interrupt during the
    // process's final teardown then changes nothing), waits for a handler
    // that is mid-write on another thread, ends the watcher thread and closes
    // the pipe. Safe to call when not started.
    void stop();

    bool running() const { return thread_.joinable(); }

    // The handler as installed; public so tests can deliver numbers that the
    // kernel would never pass for SIGINT.
    static void handleSignal(int signo, siginfo_t* info, void* context);

private:
    void watch();

    std::function<void()> onInterrupt_;
    FILE* out_ = stdout;
    int readFd_ = -1;
    int writeFd_ = -1;
    std::thread thread_;
};

}  // namespace vexlink
