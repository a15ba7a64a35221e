#pragma once

// A real signal delivered to a thread that waits in a socket read. The
// handler does nothing and is installed without SA_RESTART, as the
// process's Ctrl-C handler is, so an interrupted system call fails with
// EINTR instead of being restarted.

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

namespace vexlink::test {

class NoRestartSignal {
public:
    explicit NoRestartSignal(int signo = SIGUSR1) : signo_(signo) {
        struct sigaction action{};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signo_, &action, &previous_);
    }
    ~NoRestartSignal() { sigaction(signo_, &previous_, nullptr); }
    NoRestartSignal(const NoRestartSignal&) = delete;
    NoRestartSignal& operator=(const NoRestartSignal&) = delete;

    void send(pthread_t thread) const { pthread_kill(thread, signo_); }

    // Keeps signalling `thread` every few milliseconds until `done` is set
    // or `limit` passes; returns how many signals were sent.
    int storm(pthread_t thread, const std::atomic<bool>& done, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int sent = 0;
        while (!done && std::chrono::steady_clock::now() < deadline) {
            send(thread);
            ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pacing of the storm, not a hand-off
        }
        return sent;
    }

private:
    int signo_;
    struct sigaction previous_{};
};

}  // namespace vexlink::test
