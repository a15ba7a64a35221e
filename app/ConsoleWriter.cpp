#include "app/ConsoleWriter.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/Clock.h"

namespace vexlink {

namespace {

// Writes all bytes unless the descriptor fails; a failure drops the rest.
void writeAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // EPIPE, EIO, ...: nobody can read it
        bytes += n;
        length -= static_cast<size_t>(n);
    }
}

// Takes the status line off the screen: back to the line's start, erase it.
constexpr char kEraseStatus[] = "\r\033[K";
constexpr size_t kEraseLength = sizeof kEraseStatus - 1;

// The columns of the terminal `fd`, or 0 when it does not say.
size_t terminalColumns(int fd) {
    winsize size{};
    return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace

ConsoleWriter& ConsoleWriter::instance() {
    static ConsoleWriter* const writer = [] {
        auto* created = new ConsoleWriter();
        (void)created->start(STDOUT_FILENO);
        return created;
    }();
    return *writer;
}

ConsoleWriter::~ConsoleWriter() {
    stop();
    join();
}

bool ConsoleWriter::start(int fd) {
    if (started_) return false;
    fd_ = fd;
    {
        MutexLock lock(mutex_);
        threadRunning_ = true;
    }
    if (!createThread(&ConsoleWriter::threadMain, this, &thread_)) {
        MutexLock lock(mutex_);
        threadRunning_ = false;
        return false;
    }
    started_ = true;
    return true;
}

void ConsoleWriter::stop() {
    {
        MutexLock lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    wake_.post();
}

void ConsoleWriter::join() {
    if (!started_) return;
    joinThread(thread_);
    started_ = false;
}

bool ConsoleWriter::post(const char* text, size_t length) {
    if (length == 0) return true;
    {
        MutexLock lock(mutex_);
        if (!threadRunning_) {
            // No writer thread: write here, as a plain console would.
            writeAll(fd_, text, length);
            return true;
        }
        if (length > kCapacity - used_) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        size_t tail = (head_ + used_) % kCapacity;
        const size_t first = std::min(length, kCapacity - tail);
        std::memcpy(ring_ + tail, text, first);
        std::memcpy(ring_, text + first, length - first);
        used_ += length;
    }
    wake_.post();
    return true;
}

bool ConsoleWriter::drain(int timeoutMs) {
    const uint64_t deadline = monotonicMs() + static_cast<uint64_t>(std::max(timeoutMs, 0));
    for (;;) {
        {
            MutexLock lock(mutex_);
            if (used_ == 0 || !threadRunning_) return true;
        }
        const uint64_t now = monotonicMs();
        if (now >= deadline) return false;
        (void)emptied_.waitFor(static_cast<int>(deadline - now));
    }
}

void ConsoleWriter::setStatusTerminal(int fd) {
    MutexLock lock(mutex_);
    statusFd_ = fd;
}

void ConsoleWriter::allowStatus(bool on) {
    {
        MutexLock lock(mutex_);
        if (statusFd_ < 0 || statusAllowed_ == on) return;
        statusAllowed_ = on;
        statusLength_ = 0;
    }
    wake_.post();  // erases a line on screen
}

void ConsoleWriter::showStatus(const char* text, size_t length) {
    length = std::min(length, kStatusCapacity);
    {
        MutexLock lock(mutex_);
        if (statusFd_ < 0 || !statusAllowed_ || !threadRunning_) return;
        std::memcpy(statusText_, text, length);
        statusLength_ = length;
    }
    wake_.post();
}

void ConsoleWriter::threadMain(void* self) { static_cast<ConsoleWriter*>(self)->run(); }

void ConsoleWriter::run() {
    // A write to a pipe whose reader has gone then fails with EPIPE instead
    // of ending the process (should SIGPIPE not be ignored already).
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    char drawn[kStatusCapacity];  // the status text last drawn
    size_t drawnLength = 0;
    bool shown = false;  // a status line is on screen
    // What goes to the terminal: "\r", the text, erase to the end of the line.
    char frame[1 + kStatusCapacity + 3];

    for (;;) {
        wake_.wait();
        for (;;) {
            const char* chunk = nullptr;
            size_t length = 0;
            int statusFd = -1;
            bool erase = false;
            bool draw = false;
            {
                MutexLock lock(mutex_);
                statusFd = statusFd_;
                if (used_ > 0) {
                    // Posters only fill the free part of the ring, so this
                    // part stays put while it is written outside the lock.
                    chunk = ring_ + head_;
                    length = std::min(used_, kCapacity - head_);
                    erase = shown;  // never text behind the status line
                } else {
                    const bool wanted = statusAllowed_ && !stopping_ && statusLength_ > 0;
                    if (wanted && (!shown || drawnLength != statusLength_ ||
                                   std::memcmp(drawn, statusText_, statusLength_) != 0)) {
                        std::memcpy(drawn, statusText_, statusLength_);
                        drawnLength = statusLength_;
                        draw = true;
                    } else if (!wanted && shown) {
                        erase = true;
                    } else if (stopping_) {
                        threadRunning_ = false;
                        emptied_.post();
                        return;
                    } else {
                        break;
                    }
                }
            }
            if (erase) {
                writeAll(statusFd, kEraseStatus, kEraseLength);
                shown = false;
            }
            if (draw) {
                // A line longer than the terminal is wide would wrap, and
                // "\r" would then no longer reach its start.
                const size_t columns = terminalColumns(statusFd);
                const size_t visible = columns > 1 ? std::min(drawnLength, columns - 1) : drawnLength;
                frame[0] = '\r';
                std::memcpy(frame + 1, drawn, visible);
                std::memcpy(frame + 1 + visible, "\033[K", 3);
                writeAll(statusFd, frame, 1 + visible + 3);
                shown = true;
            }
            if (chunk != nullptr) {
                writeAll(fd_, chunk, length);
                MutexLock lock(mutex_);
                head_ = (head_ + length) % kCapacity;
                used_ -= length;
                if (used_ == 0) emptied_.post();
            }
        }
    }
}

}  // namespace vexlink
