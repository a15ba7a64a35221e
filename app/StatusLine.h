#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "control/PlayoutStatus.h"
#include "platform/Semaphore.h"
#include "platform/Thread.h"

namespace vexlink {

class ConsoleWriter;

// The live status line while connected: every kPeriodMs it asks its source
// for the playout figures and hands the console writer a new line to show
// (the writer draws it on the terminal and keeps it off the console lines).
// The line: the level of the voice as a meter and in dB, the playout delay,
// and the shares of concealed and late frames over the last
// kWindowUpdates redraws (5 s).
//
// The line is shown only while the console writer allows it (the console
// callback allows it while the state is Connected) and only on a status
// terminal, which main gives the writer when standard error is one.
//
// Threads: start(), stop() and join() come from one owning thread; the
// status thread calls the source and update(); tests call update() instead
// of starting the thread. Nothing here ever waits on the terminal.
class StatusLine {
public:
    static constexpr int kPeriodMs = 250;
    static constexpr int kWindowUpdates = 20;
    static constexpr int kMeterCells = 10;
    static constexpr int kMeterFloorDb = -60;
    // Room for the text; it fits an 80-column terminal.
    static constexpr size_t kTextCapacity = 80;

    // Fills in the figures and returns true while connected; false
    // otherwise. Called on the status thread.
    using Source = std::function<bool(PlayoutStatus&)>;

    StatusLine() = default;
    ~StatusLine();  // stop() and join()
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    // Remembers the source and the writer (null: the process-wide one);
    // start() also starts the status thread (false when it cannot).
    void attach(Source source, ConsoleWriter* console = nullptr);
    bool start(Source source, ConsoleWriter* console = nullptr);
    void stop();
    void join();

    // One redraw: while the source says connected, the line from the
    // figures now and those kWindowUpdates redraws ago (or the oldest of
    // this connection) goes to the writer.
    void update();

    // The meter cells lit for a peak level (0..32767): one per 6 dB above
    // kMeterFloorDb dBFS, rounded.
    static int meterCells(int32_t peakLevel);
    // The line for the figures `now` and those at the window's start
    // `before`, into `out` (NUL-terminated, cut to `size` - 1 bytes);
    // returns its length.
    static size_t format(char* out, size_t size, const PlayoutStatus& now, const PlayoutStatus& before);

private:
    static void threadMain(void* self);
    void run();

    Source source_;
    ConsoleWriter* console_ = nullptr;
    bool started_ = false;  // owner's thread only
    bool stopPosted_ = false;
    ThreadId thread_{};
    Semaphore stop_;

    // Status thread only: the figures of the last redraws, a ring.
    PlayoutStatus window_[kWindowUpdates + 1] = {};
    int windowCount_ = 0;
    int windowNext_ = 0;
};

}  // namespace vexlink
