#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "control/ControllerTypes.h"

namespace vexlink {

class ConsoleWriter;
class ReceptionStats;

// Room for the longest console text of one state: a result line and the
// reception report.
inline constexpr size_t kStateTextCapacity = 1024;
// How long the end of the process waits for the console to take its last
// lines: a stdout that blocks must not keep Ctrl-C from ending the process
// within two seconds.
inline constexpr int kFinalDrainMs = 1000;
// How long a hint on standard error waits for the queued lines (and so for
// the erasing of the status line) before it is written anyway.
inline constexpr int kHintDrainMs = 100;

// The console line(s) for one reported state, without any other effect,
// into `out` (NUL-terminated, cut to `size` - 1 bytes); returns their
// length. State 0 gives the result lines of `result`; with `debug` and
// result 0 the reception report follows "\rDisconnected  ".
size_t formatStateLines(char* out, size_t size, int32_t state, int32_t result, bool debug);
// The message of the "Error: %s" line for a result code.
const char* errorMessage(int32_t result);
// The standard-error notes that follow a final state: for result -27 which
// media port could not be used and why (`detail` is the errno), and with
// `debug` the count of datagrams ignored for not coming from the phone
// (`foreignDatagrams`, when there were any).
void printFinalNotes(FILE* err, int32_t result, int32_t detail, bool debug, uint32_t foreignDatagrams);
// With `debug`, after a connection the adaptive playout played: its target
// delay, late and duplicate packets, concealed frames and resampling ratio.
void printPlayoutNote(FILE* err, bool debug, const ReceptionStats& stats);

// The front end's receiver of the controller's state changes. It is called
// on the controller's event thread; main polls lastState() once a second.
// Lines go to the console writer, so a stdout that blocks or is gone never
// holds up or ends the event thread; the final state waits at most
// kFinalDrainMs for them to be written. The status line is allowed while
// the state is Connected and taken off the screen before any other state's
// line.
//
// With --reconnect, a Disconnected that another attempt follows
// (ReconnectPolicy::followsEnd) is shown and ends nothing; the last state
// keeps its value, so main goes on waiting too.
//
// Ending the process: the final state (Disconnected) must end the process
// exactly once, either through this callback (exit(0) on the event thread)
// or through main's return when no state had been reported yet. Both sides
// first take the one exit claim; only the winner ends the process. The
// callback takes the claim before it publishes state 0, so main, which acts
// on seeing 0, can win only when no final state has been reported.
class MyPlayerCallback final : public PlayerCallback {
public:
    using EndProcess = void (*)(int status);

    // Writes to the process-wide console and ends the process with exit(0).
    constexpr MyPlayerCallback() = default;
    // Tests: write to `console` and call `endProcess` instead of exit.
    constexpr MyPlayerCallback(ConsoleWriter* console, EndProcess endProcess)
        : console_(console), endProcess_(endProcess) {}

    void onStateChanged(int32_t state, int32_t result, int32_t detail) override;
    // A one-line hint on standard error, dropped rather than waited for.
    void onReconnectWait(int32_t waitMs) override;

    int32_t lastState() const { return lastState_.load(std::memory_order_acquire); }
    void setDebug(bool on) { debug_.store(on, std::memory_order_relaxed); }
    bool debug() const { return debug_.load(std::memory_order_relaxed); }
    // True for the first caller only, on any thread.
    bool claimExit() { return !exitClaimed_.exchange(true, std::memory_order_acq_rel); }

private:
    ConsoleWriter* console_ = nullptr;  // null: ConsoleWriter::instance()
    EndProcess endProcess_ = nullptr;   // null: exit()
    std::atomic<int32_t> lastState_{kStateDisconnected};
    std::atomic<bool> debug_{false};
    std::atomic<bool> exitClaimed_{false};
};

// main's run loop after the controller was started: sleeps a second, then
// another while the last state is not Disconnected. Returns true when main
// has claimed the process's end (nothing was reported within the first
// second) and should print the newline and return; false when the callback
// owns the end, which then comes from the event thread.
bool waitForFinalState(MyPlayerCallback& callback, void (*sleepSecond)() = nullptr);

}  // namespace vexlink
