#pragma once

#include <cstdint>
#include <cstdio>

#include "settings/Settings.h"

namespace vexlink {

// What the command line decided. Either the process ends now with
// exitStatus, or it runs with the settings already stored.
struct CommandLineOutcome {
    bool run = false;
    int exitStatus = 0;  // when !run
    bool debug = false;  // -d: print the reception report after a normal end
};

// The option defaults and what the options set; filled while parsing.
struct CommandLineValues {
    uint32_t transportType = kTransportWifi;
    int32_t controlPort = 8125;
    int32_t mediaPort = 49152;
    bool playLocally = false;
    bool debug = false;
    const char* serverAddress = nullptr;  // points into argv
    // Long options only.
    PlayoutMode playoutMode = PlayoutMode::Auto;
    Concealment concealment = Concealment::Fade;
    OutputKind output = OutputKind::Alsa;
    bool reconnect = false;
    bool statusLine = true;
};

struct CommandLineIo {
    FILE* out = stdout;  // usage, version and the run-refusing messages
    FILE* err = stderr;  // the address-length refusal (getopt writes its own to stderr)
    // Whether the loopback card can be opened; the real check unless a test
    // puts something else here.
    bool (*loopbackAvailable)() = nullptr;
    // The loopback writer's failed open (a negative ALSA code) or 0 when it
    // holds its device; the process-wide writer's unless a test puts
    // something else here.
    int (*loopbackOpenError)() = nullptr;
    // Whether a PipeWire daemon answers; the real check unless a test puts
    // something else here.
    bool (*pipeWireAnswers)() = nullptr;
};

// Reads the options and the server address, prints the usage or version text
// when asked, refuses to run without the loopback card or when the loopback
// writer could not open its device (a busy device: one line on `err`,
// status 2), and stores what it
// was given in Settings. Uses getopt_long, so argv may be permuted; runs on
// the main thread before the controller is started. `values`, when given,
// receives what was parsed (for tests).
//
// With --output pipewire the loopback card is neither checked nor opened:
// -l is refused (one line on `err`, status 255; nothing may write to a
// device from the graph's clock), and so is a machine where no PipeWire
// daemon answers (one line on `err`, status 2). On the ALSA output a missing
// card adds a line on `err` pointing at --output pipewire when a PipeWire
// daemon answers.
CommandLineOutcome runCommandLine(int argc, char* argv[], const CommandLineIo& io = CommandLineIo{},
                                  CommandLineValues* values = nullptr);

// Which output the arguments choose, read without a word on any stream and
// without storing anything (the ALSA output unless a valid --output says
// otherwise), so that main opens the loopback card first thing only for
// the ALSA output. Leaves argv as it is.
OutputKind scanOutputChoice(int argc, char* argv[]);

void printUsage(FILE* out);
void printVersion(FILE* out);

inline constexpr const char* kProductAddress = "https://vexlink.example.org";

// Exit statuses decided on the command line.
inline constexpr int kExitVersion = 0;
inline constexpr int kExitNoAddress = 1;
inline constexpr int kExitNoLoopback = 2;
inline constexpr int kExitNoPipeWire = 2;
inline constexpr int kExitBadCommandLine = 255;

}  // namespace vexlink
