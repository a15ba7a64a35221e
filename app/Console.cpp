#include "app/Console.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "control/Settings.h"
#include "media/ReceptionStats.h"

namespace vexlink {

namespace {

void putLine(FILE* out, const char* text) {
    std::fputs(text, out);
    std::fputc('\n', out);
}

void printResultLines(FILE* out, int32_t result, bool debug) {
    switch (result) {
        case kResultOk:
            putLine(out, "\rDisconnected  ");
            if (debug) ReceptionStats::instance()->printReport(out);
            break;
        case kResultAborted:
            putLine(out, "Aborted.");
            break;
        case kResultNoAudio:
            std::fprintf(out,
                         "No audio data is received. Please change your firewall setting to unblock UDP port %d.\n",
                         static_cast<int>(Settings::getMediaPort()));
            break;
        default:
            std::fprintf(out, "Error: %s\n", errorMessage(result));
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

void printStateLine(FILE* out, int32_t state, int32_t result, bool debug) {
    switch (state) {
        case kStateDisconnected: printResultLines(out, result, debug); break;
        // The lines that start with a carriage return are padded to the
        // same 14 visible characters so each overwrites the last.
        case kStateConnecting: putLine(out, "\rConnecting... "); break;
        case kStateConnected: putLine(out, "\rConnected     "); break;
        case kStateDisconnecting: putLine(out, "Disconencting..."); break;
        case kStateAborting: putLine(out, "Aborting..."); break;
        default: std::fprintf(out, "Unknown state: %d\n", static_cast<int>(state)); break;
    }
}

void MyPlayerCallback::onStateChanged(int32_t state, int32_t result, int32_t detail) {
    FILE* out = out_ != nullptr ? out_ : stdout;
    if (state != kStateDisconnected) {
        lastState_.store(state, std::memory_order_release);
        printStateLine(out, state, result, debug());
        // Shown at once even when stdout is a pipe or a file (block-buffered).
        std::fflush(out);
        return;
    }
    // Claim before publishing 0: main must not take the exit path for a
    // final state this callback is about to end the process for.
    const bool ending = claimExit();
    lastState_.store(state, std::memory_order_release);
    // The result is printed either way; when main already ended the process
    // (nothing had been reported within its first second) this runs while
    // the controller is being destroyed, and the user still learns the result.
    printStateLine(out, state, result, debug());
    std::fflush(out);
    printFinalNotes(stderr, result, detail, debug(), ReceptionStats::instance()->foreignDatagrams);
    if (!ending) return;
    if (endProcess_ != nullptr) {
        endProcess_(0);
    } else {
        std::exit(0);
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
