#pragma once

#include <csignal>
#include <functional>

#include "platform/Thread.h"

namespace vexlink {

class ConsoleWriter;

// Hands Ctrl-C, SIGTERM (kill, a service manager) and SIGHUP (the terminal
// closed) to ordinary code; all three end the session the same orderly way.
// The handler may interrupt any thread, including one that holds the
// controller's event-queue lock, so it only writes the signal number into a
// pipe (write() is async-signal-safe); a watcher thread reads the pipe and
// runs the interrupt action (the controller's stop) or reports a number it
// does not expect on the console.
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
    // for SIGINT, SIGTERM and SIGHUP with sigaction (SA_SIGINFO only, empty
    // mask, so blocking calls are not restarted). False, with nothing left
    // running, when any step fails or another watcher is active. Reports go
    // to `console` (null: the process-wide console).
    bool start(std::function<void()> onInterrupt, ConsoleWriter* console = nullptr);

    // Makes the handler inert (it stays installed: an interrupt during the
    // process's final teardown then changes nothing), waits for a handler
    // that is mid-write on another thread, ends the watcher thread and closes
    // the pipe. Safe to call when not started.
    void stop();

    bool running() const { return threadRunning_; }

    // The signals that end the session.
    static bool endsSession(int signo) { return signo == SIGINT || signo == SIGTERM || signo == SIGHUP; }

    // The handler as installed; public so tests can deliver numbers that the
    // kernel would never pass to it.
    static void handleSignal(int signo, siginfo_t* info, void* context);

private:
    static void threadMain(void* self);
    void watch();

    std::function<void()> onInterrupt_;
    ConsoleWriter* console_ = nullptr;
    int readFd_ = -1;
    int writeFd_ = -1;
    ThreadId thread_{};
    bool threadRunning_ = false;
};

}  // namespace vexlink
