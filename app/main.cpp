#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/Console.h"
#include "app/ConsoleWriter.h"
#include "app/SignalWatcher.h"
#include "app/StatusLine.h"
#include "audio/LoopbackWriter.h"
#include "control/MicController.h"
#include "pipewire/PipeWireSource.h"
#include "settings/Settings.h"

namespace {

// The process-wide objects, in this order: the callback is constant-
// initialised, so it exists before the controller's constructor (which
// starts the event thread) runs during static initialisation; the signal
// watcher is destroyed before the controller, so no interrupt reaches a
// controller that is being torn down; the status line, destroyed before
// them, stops asking the controller for figures before it goes, and the
// PipeWire node goes first of all, so no graph cycle pulls from a
// controller that is going.
constinit vexlink::MyPlayerCallback callback;
vexlink::MicController controller(&callback);
vexlink::SignalWatcher signalWatcher;
vexlink::StatusLine statusLine;
std::unique_ptr<vexlink::PipeWireSource> graphNode;

bool connectedFigures(vexlink::PlayoutStatus& figures) {
    if (controller.state() != vexlink::kStateConnected) return false;
    figures = controller.playoutStatus();
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    // A stdout whose reader has gone (`vexlink ... | head -n1`) makes console
    // writes fail with EPIPE instead of ending the session (the sockets send
    // with MSG_NOSIGNAL already).
    (void)std::signal(SIGPIPE, SIG_IGN);

    // The first use opens the loopback device; ALSA's complaints come first.
    // The PipeWire output never touches the loopback card.
    if (vexlink::scanOutputChoice(argc, argv) == vexlink::OutputKind::Alsa) (void)vexlink::LoopbackWriter::instance();

    if (!signalWatcher.start([] { (void)controller.stop(); })) {
        std::puts("Failed to set up signal.");
        return 255;
    }

    const vexlink::CommandLineOutcome outcome = vexlink::runCommandLine(argc, argv);
    if (!outcome.run) return outcome.exitStatus;
    callback.setDebug(outcome.debug);

    // The node exists from here to the end of the process, across
    // connections; between them it plays silence.
    if (vexlink::Settings::getOutput() == vexlink::OutputKind::PipeWire) {
        graphNode = std::make_unique<vexlink::PipeWireSource>(controller.graphSource());
        if (!graphNode->open()) {
            std::fprintf(stderr, "vexlink: %s\n", graphNode->error().c_str());
            return vexlink::kExitNoPipeWire;
        }
    }

    // From here on standard output is written only by the console writer's
    // thread, never through stdio, so nothing at exit waits on a stdout that
    // blocks.
    std::fflush(stdout);
    vexlink::ConsoleWriter& console = vexlink::ConsoleWriter::instance();
    // The status line is for a person watching a terminal: anywhere else
    // (a pipe, a file, a log) nothing of it is ever written.
    if (vexlink::Settings::getStatusLine() && isatty(STDERR_FILENO) == 1) {
        console.setStatusTerminal(STDERR_FILENO);
        (void)statusLine.start(&connectedFigures);
    }

    (void)controller.start();
    // The callback that reports the final state ends the process itself;
    // main ends it only when nothing had been reported within a second.
    if (!vexlink::waitForFinalState(callback)) {
        for (;;) pause();
    }
    (void)console.post("\n", 1);
    (void)console.drain(vexlink::kFinalDrainMs);
    return 0;
}
