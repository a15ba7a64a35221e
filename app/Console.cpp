#include "app/Console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include "app/ConsoleWriter.h"
#include "audio/AudioFormat.h"
#include "control/ReconnectPolicy.h"
#include "media/ReceptionStats.h"
#include "settings/Settings.h"

namespace vexlink {

namespace {

// The texts are built in a fixed buffer: `length` bytes of `out` (of
// `size` bytes) are used; what does not fit is cut, and the text stays
// NUL-terminated.
[[gnu::format(printf, 4, 5)]] void appendFormat(char* out, size_t size, size_t& length, const char* pattern, ...) {
    if (length + 1 >= size) return;
    va_list args;
    va_start(args, pattern);
    const int n = std::vsnprintf(out + length, size - length, pattern, args);
    va_end(args);
    if (n > 0) length = std::min(length + static_cast<size_t>(n), size - 1);
}

// The reception report, printed by its own code into the rest of the buffer
// through a memory stream over it: nothing of it goes through stdout.
void appendReport(char* out, size_t size, size_t& length) {
    if (length + 1 >= size) return;
    FILE* memory = fmemopen(out + length, size - length, "w");
    if (memory == nullptr) return;
    ReceptionStats::instance()->printReport(memory);
    std::fflush(memory);
    const long n = std::ftell(memory);
    std::fclose(memory);
    if (n > 0) length = std::min(length + static_cast<size_t>(n), size - 1);
    out[length] = '\0';
}

void appendResultLines(char* out, size_t size, size_t& length, int32_t result, bool debug) {
    switch (result) {
        case kResultOk:
            appendFormat(out, size, length, "\rDisconnected  \n");
            if (debug) appendReport(out, size, length);
            break;
        case kResultAborted:
            appendFormat(out, size, length, "Aborted.\n");
            break;
        case kResultNoAudio:
            appendFormat(out, size, length,
                         "No audio data is received. Please change your firewall setting to unblock UDP port %d.\n",
                         static_cast<int>(Settings::getMediaPort()));
            break;
        default:
            appendFormat(out, size, length, "Error: %s\n", errorMessage(result));
            break;
    }
}

}  // namespace

const char* errorMessage(int32_t result) {
    switch (result) {
        case kResultCannotStart: return "Cannot start mic on Android phone.";
        case kResultMismatch: return "Client and server mismatch. Please install latest server and client.";
        case kResultConnectFailed: return "Fail to connect to server.";
        default: return "Error";
    }
}

void printFinalNotes(FILE* err, int32_t result, int32_t detail, bool debug, uint32_t foreignDatagrams) {
    if (result == kResultMediaPortFailed && detail != 0) {
        // Only the low 16 bits of the setting reach the socket.
        const int port = static_cast<int>(Settings::getMediaPort() & 0xFFFFu);
        if (detail == EADDRINUSE) {
            std::fprintf(err, "vexlink: UDP port %d is already in use by another program; choose another with -m PORT\n",
                         port);
        } else {
            std::fprintf(err, "vexlink: cannot receive on UDP port %d: %s; choose another with -m PORT\n", port,
                         std::strerror(detail));
        }
    }
    if (debug && foreignDatagrams > 0) {
        std::fprintf(err, "vexlink: ignored %u datagram%s from addresses other than the phone's\n",
                     static_cast<unsigned>(foreignDatagrams), foreignDatagrams == 1 ? "" : "s");
    }
    std::fflush(err);
}

void printPlayoutNote(FILE* err, bool debug, const ReceptionStats& stats) {
    const ReceptionStats::PlayoutSummary& p = stats.playout;
    if (!debug || !p.adaptive) return;
    std::fprintf(err,
                 "vexlink: adaptive playout: target delay %.1f ms, late %llu, duplicates %llu, concealed %llu of %llu "
                 "frames, resampling ratio %.6f\n",
                 p.targetDelaySamples * 1000.0 / kSampleRate, static_cast<unsigned long long>(p.late),
                 static_cast<unsigned long long>(p.duplicates), static_cast<unsigned long long>(p.concealed),
                 static_cast<unsigned long long>(p.concealed + p.played), p.ratio);
    std::fflush(err);
}

size_t formatStateLines(char* out, size_t size, int32_t state, int32_t result, bool debug) {
    size_t length = 0;
    if (size > 0) out[0] = '\0';
    switch (state) {
        case kStateDisconnected: appendResultLines(out, size, length, result, debug); break;
        // The lines that start with a carriage return are padded to the
        // same 14 visible characters so each overwrites the last.
        case kStateConnecting: appendFormat(out, size, length, "\rConnecting... \n"); break;
        case kStateConnected: appendFormat(out, size, length, "\rConnected     \n"); break;
        case kStateDisconnecting: appendFormat(out, size, length, "Disconencting...\n"); break;
        case kStateAborting: appendFormat(out, size, length, "Aborting...\n"); break;
        default: appendFormat(out, size, length, "Unknown state: %d\n", static_cast<int>(state)); break;
    }
    return length;
}

void MyPlayerCallback::onStateChanged(int32_t state, int32_t result, int32_t detail) {
    ConsoleWriter& console = console_ != nullptr ? *console_ : ConsoleWriter::instance();
    char text[kStateTextCapacity];
    // The status line belongs to a connection: off before the line of any
    // other state, so none is drawn after it (nor left on screen at exit).
    console.allowStatus(state == kStateConnected);
    const bool endsRun = state == kStateDisconnected && !ReconnectPolicy::followsEnd(result);
    if (!endsRun) {
        if (state != kStateDisconnected) lastState_.store(state, std::memory_order_release);
        // Queued, not written here: shown at once unless stdout blocks.
        (void)console.post(text, formatStateLines(text, sizeof text, state, result, debug()));
        // A retried end: the media port's trouble is worth a word each time,
        // once the line above (and the status line's erasing) is out.
        if (state == kStateDisconnected) {
            (void)console.drain(kHintDrainMs);
            printFinalNotes(stderr, result, detail, false, 0);
        }
        return;
    }
    // Claim before publishing 0: main must not take the exit path for a
    // final state this callback is about to end the process for.
    const bool ending = claimExit();
    lastState_.store(state, std::memory_order_release);
    // The result is shown either way; when main already ended the process
    // (nothing had been reported within its first second) this runs while
    // the controller is being destroyed, and the user still learns the result.
    (void)console.post(text, formatStateLines(text, sizeof text, state, result, debug()));
    // A bounded wait: a stdout that blocks loses the lines, not the end.
    (void)console.drain(kFinalDrainMs);
    printFinalNotes(stderr, result, detail, debug(), ReceptionStats::instance()->foreignDatagrams);
    printPlayoutNote(stderr, debug(), *ReceptionStats::instance());
    if (!ending) return;
    if (endProcess_ != nullptr) {
        endProcess_(0);
    } else {
        std::exit(0);
    }
}

void MyPlayerCallback::onReconnectWait(int32_t waitMs) {
    char text[64];
    const int n = std::snprintf(text, sizeof text, "vexlink: reconnecting in %d s\n", (waitMs + 999) / 1000);
    // After the queued lines, so it never shares a screen line with the
    // status line. A stderr that cannot take the line now (a full pipe, a
    // paused terminal) must not hold up the event thread.
    (void)(console_ != nullptr ? *console_ : ConsoleWriter::instance()).drain(kHintDrainMs);
    pollfd err{STDERR_FILENO, POLLOUT, 0};
    if (n > 0 && ::poll(&err, 1, 0) == 1 && (err.revents & POLLOUT) != 0) {
        (void)!::write(STDERR_FILENO, text, static_cast<size_t>(n));
    }
}

bool waitForFinalState(MyPlayerCallback& callback, void (*sleepSecond)()) {
    auto pause = [sleepSecond] {
        if (sleepSecond != nullptr) {
            sleepSecond();
        } else {
            (void)::sleep(1);  // an interrupt may cut it short; the loop only polls
        }
    };
    pause();
    while (callback.lastState() != kStateDisconnected) pause();
    return callback.claimExit();
}

}  // namespace vexlink
