#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/Mutex.h"
#include "platform/Semaphore.h"
#include "platform/Thread.h"

namespace vexlink {

// Writes the console's lines to a descriptor (standard output) on a thread
// of its own, so that a stdout nobody reads (a full pipe, a terminal paused
// with Ctrl-S) or one that is gone (a closed pipe, a hung-up terminal) can
// neither block nor end the threads that report.
//
// post() copies a whole text into a fixed ring and returns at once; a text
// that does not fit whole is dropped and counted, never cut, and texts are
// written in the order they were posted. Write errors (EPIPE, EIO) are
// ignored; the writer thread blocks SIGPIPE for itself.
//
// It also keeps the status line, when given a terminal for it: one line
// drawn in place ("\r", the text, erase to the end of the line) on that
// terminal (standard error). The line lives in a slot, not the ring: the
// newest text replaces an older one not yet drawn. Before it writes any
// console text the writer thread erases a status line on screen, and it
// draws the line again once the ring is empty, so the two never share a
// screen line; a terminal that blocks holds only the writer thread. Without
// a status terminal nothing of the status line is ever written.
//
// Threads: start(), stop() and join() come from one owning thread; post(),
// drain(), droppedTexts(), setStatusTerminal(), allowStatus() and
// showStatus() from any thread (the controller's event thread, the signal
// watcher, the status line's thread, main), never from a signal handler.
// The writer thread only writes. join() waits for the writer to write what is
// queued, so it must not be called while the descriptor blocks; the
// process-wide instance is never stopped or destroyed for that reason.
class ConsoleWriter {
public:
    static constexpr size_t kCapacity = 4096;
    static constexpr size_t kStatusCapacity = 160;

    // The process-wide writer to standard output, started on the first call
    // (thread-safe) and never destroyed: the process may end while its
    // thread is stuck in a write.
    static ConsoleWriter& instance();

    ConsoleWriter() = default;
    ~ConsoleWriter();  // stop() and join(); see above
    ConsoleWriter(const ConsoleWriter&) = delete;
    ConsoleWriter& operator=(const ConsoleWriter&) = delete;

    // Starts the writer thread on `fd` (not owned). False when the thread
    // cannot be created; post() then writes on the caller's thread.
    bool start(int fd);
    // Lets the writer finish what is queued and end.
    void stop();
    void join();

    // Queues `length` bytes; false when they were dropped (no room).
    bool post(const char* text, size_t length);
    // Waits until everything posted so far has been written (or failed) or
    // `timeoutMs` passed; true when nothing is left.
    bool drain(int timeoutMs);
    uint32_t droppedTexts() const { return dropped_.load(std::memory_order_relaxed); }

    // The terminal the status line is drawn on (not owned); -1, the
    // default, means none. Set it once, before the line is first allowed.
    void setStatusTerminal(int fd);
    // Whether the status line may be on screen (while connected). Allowing
    // starts with an empty slot; forbidding erases a line on screen and
    // ignores showStatus() until the line is allowed again.
    void allowStatus(bool on);
    // The status line's text (one line, no line feed, cut to
    // kStatusCapacity); drawn unless the line is not allowed. Never blocks
    // on the terminal.
    void showStatus(const char* text, size_t length);

private:
    static void threadMain(void* self);
    void run();

    int fd_ = -1;
    bool started_ = false;  // owner's thread only
    ThreadId thread_{};

    Mutex mutex_;
    // Guarded by mutex_: the queued bytes are ring_[head_ .. head_+used_)
    // (wrapping); they stay queued until written, so used_ == 0 means all
    // posted text has been handed to the descriptor.
    char ring_[kCapacity] = {};
    size_t head_ = 0;
    size_t used_ = 0;
    bool stopping_ = false;
    bool threadRunning_ = false;
    // The status slot, guarded by mutex_ as well.
    int statusFd_ = -1;
    bool statusAllowed_ = false;
    char statusText_[kStatusCapacity] = {};
    size_t statusLength_ = 0;

    Semaphore wake_;     // posted for each queued text and by stop()
    Semaphore emptied_;  // posted by the writer whenever the ring runs empty
    std::atomic<uint32_t> dropped_{0};
};

}  // namespace vexlink
