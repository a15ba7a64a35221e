#include "app/CommandLine.h"

#include <alsa/asoundlib.h>
#include <bluetooth/bluetooth.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <strings.h>
#include <vector>

#include "audio/AudioFormat.h"
#include "audio/LoopbackWriter.h"
#include "pipewire/PipeWireSource.h"
#include "session/ClientVersion.h"

namespace vexlink {

namespace {

// puts() to any stream: the text, then a newline.
void putLine(FILE* out, const char* text) {
    std::fputs(text, out);
    std::fputc('\n', out);
}

// atoi's result without its undefined overflow: glibc's atoi is strtol cut
// to int, and that is what this does, with the cut well defined.
int32_t toNumber(const char* text) {
    return static_cast<int32_t>(std::strtol(text, nullptr, 10));
}

// Codes of the options that have no short form.
enum LongOnly : int {
    kOptJitterBuffer = 1000,
    kOptConceal,
    kOptOutput,
    kOptReconnect,
    kOptNoStatus,
};

// New long options begin with none of m, s, t, p, d, v and h, so every
// abbreviation of the classic ones keeps its meaning.
const option kLongOptions[] = {
    {"media-port", required_argument, nullptr, 'm'},
    {"service-port", required_argument, nullptr, 's'},
    {"transport", required_argument, nullptr, 't'},
    {"play-locally", no_argument, nullptr, 'l'},
    {"debug", no_argument, nullptr, 'd'},
    {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {"jitter-buffer", required_argument, nullptr, kOptJitterBuffer},
    {"conceal", required_argument, nullptr, kOptConceal},
    {"output", required_argument, nullptr, kOptOutput},
    {"reconnect", no_argument, nullptr, kOptReconnect},
    {"no-status", no_argument, nullptr, kOptNoStatus},
    {nullptr, 0, nullptr, 0},
};

struct Choice {
    const char* word;
    int value;
};

// The value of `word` among `choices` (case is ignored), or -1 after one
// line on `err` naming the option and what it takes.
template <size_t N>
int choose(FILE* err, const char* option, const char* word, const Choice (&choices)[N]) {
    for (const Choice& c : choices) {
        if (strcasecmp(word, c.word) == 0) return c.value;
    }
    std::fprintf(err, "vexlink: --%s takes %s or %s, not \"%s\"\n", option, choices[0].word, choices[N - 1].word, word);
    return -1;
}

const Choice kPlayoutChoices[] = {{"adaptive", static_cast<int>(PlayoutMode::Adaptive)},
                                  {"queue", static_cast<int>(PlayoutMode::Queue)}};
const Choice kConcealChoices[] = {{"fade", static_cast<int>(Concealment::Fade)},
                                  {"codec", static_cast<int>(Concealment::Codec)}};
const Choice kOutputChoices[] = {{"alsa", static_cast<int>(OutputKind::Alsa)},
                                 {"pipewire", static_cast<int>(OutputKind::PipeWire)}};

bool pipeWireAnswers(const CommandLineIo& io) {
    return io.pipeWireAnswers != nullptr ? io.pipeWireAnswers() : PipeWireSource::daemonAnswers();
}

// The PipeWire output's own checks in place of the loopback card's.
int pipeWireRefusal(const CommandLineIo& io, const CommandLineValues& values) {
    if (values.playLocally) {
        std::fprintf(io.err, "vexlink: -l (--play-locally) does not go with --output pipewire; listen to the \"%s\" "
                             "source instead, for example with pw-record --target %s - | aplay -f S16_LE -r 48000\n",
                     PipeWireSource::kDescription, PipeWireSource::kNodeName);
        return kExitBadCommandLine;
    }
    if (!pipeWireAnswers(io)) {
        std::fprintf(io.err, "vexlink: --output pipewire: no PipeWire daemon answers; start it (systemctl --user "
                             "start pipewire) or use the loopback card (--output alsa)\n");
        return kExitNoPipeWire;
    }
    return 0;
}

CommandLineOutcome endWith(int status) {
    CommandLineOutcome outcome;
    outcome.run = false;
    outcome.exitStatus = status;
    return outcome;
}

}  // namespace

OutputKind scanOutputChoice(int argc, char* argv[]) {
    // getopt_long permutes what it reads; a permuted argv would read
    // differently the second time (a missing argument at the end takes the
    // operand moved behind it), so this pass reads a copy.
    std::vector<char*> words(argv, argv + argc);
    words.push_back(nullptr);
    OutputKind output = OutputKind::Alsa;
    optind = 0;
    opterr = 0;
    for (int c; (c = getopt_long(argc, words.data(), "m:s:t:ldvh", kLongOptions, nullptr)) != -1;) {
        if (c == 'v' || c == 'h') break;  // the options after them have no effect
        if (c != kOptOutput) continue;
        for (const Choice& choice : kOutputChoices) {
            if (strcasecmp(optarg, choice.word) == 0) output = static_cast<OutputKind>(choice.value);
        }
    }
    optind = 0;
    opterr = 1;
    return output;
}

void printUsage(FILE* out) {
    putLine(out, "vexlink [options] <server address> ");
    putLine(out, "Options ");
    putLine(out, "\t-t type \ttype can be WIFI or Bluetooth");
    putLine(out, "\t-s port \tService port");
    putLine(out, "\t-m port \tMedia port");
    putLine(out, "\t-v \t\tPrint version and exit");
    putLine(out, "\t-h \t\tPrint this message and exit");
    putLine(out, "\nServer address may be IP address or Bluetooth device address, depending on type.\n");
    putLine(out, "Example:");
    putLine(out, "\tvexlink -t WIFI 192.168.100.1");
    putLine(out, "\tvexlink -t Bluetooth 04:02:1F:2A:95:78");
}

void printVersion(FILE* out) {
    putLine(out, "Vexmor Client");
    std::fprintf(out, "v%d.%d\n", kClientVersionMajor, kClientVersionMinor);
    putLine(out, kProductAddress);
}

CommandLineOutcome runCommandLine(int argc, char* argv[], const CommandLineIo& io, CommandLineValues* valuesOut) {
    CommandLineValues local;
    CommandLineValues& values = valuesOut != nullptr ? *valuesOut : local;
    values = CommandLineValues{};

    // 0 makes glibc's getopt start over, so a second parse in one process
    // (tests) sees its whole argv.
    optind = 0;
    opterr = 1;
    for (;;) {
        const int c = getopt_long(argc, argv, "m:s:t:ldvh", kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
            case 'd':
                values.debug = true;
                break;
            case 'l':
                values.playLocally = true;
                break;
            case 'm':
                values.mediaPort = toNumber(optarg);
                break;
            case 's':
                values.controlPort = toNumber(optarg);
                break;
            case 't':
                if (strcasecmp(optarg, "WIFI") == 0) {
                    values.transportType = kTransportWifi;
                } else if (strcasecmp(optarg, "Bluetooth") == 0) {
                    values.transportType = kTransportBluetooth;
                } else {
                    std::fprintf(io.out, "Invalid transport type: %s\n", optarg);
                    return endWith(kExitBadCommandLine);
                }
                break;
            case kOptJitterBuffer: {
                const int v = choose(io.err, "jitter-buffer", optarg, kPlayoutChoices);
                if (v < 0) return endWith(kExitBadCommandLine);
                values.playoutMode = static_cast<PlayoutMode>(v);
                break;
            }
            case kOptConceal: {
                const int v = choose(io.err, "conceal", optarg, kConcealChoices);
                if (v < 0) return endWith(kExitBadCommandLine);
                values.concealment = static_cast<Concealment>(v);
                break;
            }
            case kOptOutput: {
                const int v = choose(io.err, "output", optarg, kOutputChoices);
                if (v < 0) return endWith(kExitBadCommandLine);
                values.output = static_cast<OutputKind>(v);
                break;
            }
            case kOptReconnect:
                values.reconnect = true;
                break;
            case kOptNoStatus:
                values.statusLine = false;
                break;
            case 'v':
                printVersion(io.out);
                return endWith(kExitVersion);
            case 'h':
                // A plain request for help: just the usage text (there is no
                // offending option text to show here).
                printUsage(io.out);
                return endWith(kExitBadCommandLine);
            default:
                // '?': unknown option or missing argument; getopt_long has
                // already named it on stderr.
                printUsage(io.out);
                return endWith(kExitBadCommandLine);
        }
    }

    if (optind >= argc) {
        printUsage(io.out);
        return endWith(kExitNoAddress);
    }
    values.serverAddress = argv[optind];  // further operands are ignored

    // The WiFi address goes into a fixed field; refuse what cannot fit before
    // anything else is checked, so the user learns of it first. (A Bluetooth
    // address is parsed, not copied: an unparsable one becomes all zeros.)
    if (values.transportType == kTransportWifi &&
        strnlen(values.serverAddress, Settings::kAddressCapacity) >= Settings::kAddressCapacity) {
        std::fprintf(io.err, "Server address too long (at most %zu bytes).\n", Settings::kAddressCapacity - 1);
        return endWith(kExitBadCommandLine);
    }

    if (values.output == OutputKind::PipeWire) {
        if (const int status = pipeWireRefusal(io, values)) return endWith(status);
    } else if (!(io.loopbackAvailable != nullptr ? io.loopbackAvailable() : isLoopbackAvailable())) {
        putLine(io.out, "Please first load ALSA snd-aloop.");
        std::fflush(io.out);
        if (pipeWireAnswers(io)) {
            std::fprintf(io.err, "vexlink: a PipeWire daemon runs here: with --output pipewire vexlink is a microphone "
                                 "of the desktop (\"%s\") without snd-aloop\n",
                         PipeWireSource::kDescription);
        }
        return endWith(kExitNoLoopback);
    }
    // The card is there, yet the writer may not hold its device: then the
    // voice would go nowhere while the console says "Connected".
    const int openError = values.output == OutputKind::PipeWire ? 0
                          : io.loopbackOpenError != nullptr  ? io.loopbackOpenError()
                                                             : LoopbackWriter::instance()->openError();
    if (openError < 0) {
        std::fprintf(io.err,
                     "vexlink: cannot open the loopback playback device %s: %s - another program %s it (a second "
                     "vexlink, or a sound server such as PipeWire or PulseAudio); find it with: fuser -v /dev/snd/*\n",
                     kLoopbackOutputDevice, snd_strerror(openError), openError == -EBUSY ? "holds" : "may hold");
        return endWith(kExitNoLoopback);
    }

    Settings::setTransportType(values.transportType);
    if (values.transportType == kTransportBluetooth) {
        bdaddr_t address{};
        (void)str2ba(values.serverAddress, &address);  // unparsable text leaves all zeros
        Settings::setBtAddress(address.b);
    } else {
        if (!Settings::setWifiServerAddr(values.serverAddress)) {
            // Cannot happen after the length check above; never run with a
            // half-stored address.
            std::fprintf(io.err, "Server address too long (at most %zu bytes).\n", Settings::kAddressCapacity - 1);
            return endWith(kExitBadCommandLine);
        }
        Settings::setControlPort(values.controlPort);
        Settings::setMediaPort(values.mediaPort);
    }
    Settings::setPlayLocally(values.playLocally);
    Settings::setPlayoutMode(values.playoutMode);
    Settings::setConcealment(values.concealment);
    Settings::setOutput(values.output);
    Settings::setReconnect(values.reconnect);
    Settings::setStatusLine(values.statusLine);

    CommandLineOutcome outcome;
    outcome.run = true;
    outcome.exitStatus = 0;
    outcome.debug = values.debug;
    return outcome;
}

}  // namespace vexlink
