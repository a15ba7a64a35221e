#include "app/SignalWatcher.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include "app/ConsoleWriter.h"

namespace vexlink {

namespace {

// What the handler may touch: lock-free atomics only.
static_assert(std::atomic<int>::is_always_lock_free);
// Write end of the active watcher's pipe, or -1 (handler inert).
std::atomic<int> handlerFd{-1};
// Handlers currently between loading handlerFd and finishing their write;
// stop() waits for 0 before it closes the descriptor.
std::atomic<int> handlersInFlight{0};
// Claimed by the one active watcher.
std::atomic<bool> watcherActive{false};

constexpr unsigned char kStopByte = 0;  // no signal has number 0

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Writes one byte to a non-blocking pipe, waiting for room if it is full.
void writeByteWaiting(int fd, unsigned char byte) {
    for (;;) {
        const ssize_t n = ::write(fd, &byte, 1);
        if (n == 1) return;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            (void)::poll(&p, 1, -1);
            continue;
        }
        return;  // the read end is gone: nothing is waiting for the byte
    }
}

}  // namespace

void SignalWatcher::handleSignal(int signo, siginfo_t* /*info*/, void* /*context*/) {
    const int savedErrno = errno;
    handlersInFlight.fetch_add(1, std::memory_order_acq_rel);
    // Signal numbers fit a byte. A full pipe drops this one: interrupts are
    // already waiting to be handled. An inert handler writes to -1, which
    // fails with EBADF and changes nothing (errno is restored below).
    const unsigned char byte = static_cast<unsigned char>(signo);
    (void)::write(handlerFd.load(std::memory_order_acquire), &byte, 1);
    handlersInFlight.fetch_sub(1, std::memory_order_acq_rel);
    errno = savedErrno;
}

bool SignalWatcher::start(std::function<void()> onInterrupt, ConsoleWriter* console) {
    if (running()) return false;
    bool expected = false;
    if (!watcherActive.compare_exchange_strong(expected, true)) return false;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        watcherActive.store(false);
        return false;
    }
    readFd_ = fds[0];
    writeFd_ = fds[1];
    // The handler must never block on a full pipe.
    const int flags = ::fcntl(writeFd_, F_GETFL);
    if (flags < 0 || ::fcntl(writeFd_, F_SETFL, flags | O_NONBLOCK) != 0) {
        closeFd(readFd_);
        closeFd(writeFd_);
        watcherActive.store(false);
        return false;
    }
    onInterrupt_ = std::move(onInterrupt);
    console_ = console;
    if (!createThread(&SignalWatcher::threadMain, this, &thread_)) {
        closeFd(readFd_);
        closeFd(writeFd_);
        watcherActive.store(false);
        return false;
    }
    threadRunning_ = true;
    handlerFd.store(writeFd_, std::memory_order_release);

    struct sigaction action {};
    action.sa_sigaction = &SignalWatcher::handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO;  // no SA_RESTART: sleeps and reads see EINTR
    // Cannot fail: catchable signal numbers and a valid action (sigaction
    // fails only with EINVAL for a bad or uncatchable number, or EFAULT).
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) (void)::sigaction(signo, &action, nullptr);
    return true;
}

void SignalWatcher::stop() {
    if (!running()) return;
    handlerFd.store(-1, std::memory_order_release);
    // A handler on another thread may have loaded the descriptor just
    // before; it finishes within a few instructions.
    while (handlersInFlight.load(std::memory_order_acquire) != 0) sched_yield();
    writeByteWaiting(writeFd_, kStopByte);
    joinThread(thread_);
    threadRunning_ = false;
    closeFd(readFd_);
    closeFd(writeFd_);
    onInterrupt_ = nullptr;
    watcherActive.store(false);
}

void SignalWatcher::threadMain(void* self) { static_cast<SignalWatcher*>(self)->watch(); }

void SignalWatcher::watch() {
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = ::read(readFd_, &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n != 1 || byte == kStopByte) return;
        if (endsSession(byte)) {
            if (onInterrupt_) onInterrupt_();
        } else {
            char line[32];
            const int length = std::snprintf(line, sizeof line, "Unkown signal: %d\n", static_cast<int>(byte));
            ConsoleWriter& console = console_ != nullptr ? *console_ : ConsoleWriter::instance();
            (void)console.post(line, static_cast<size_t>(length));
        }
    }
}

}  // namespace vexlink
