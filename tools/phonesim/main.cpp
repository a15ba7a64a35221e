// vexlink-phone-sim: the phone's side of a connection, for demos and manual
// tests. Prints "listening on ADDR:PORT" once it listens, serves the client
// sessions, and prints a one-line summary when the client has gone or on
// SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "tools/phonesim/PhoneSimCli.h"
#include "tools/phonesim/PhoneSimulator.h"

using namespace vexlink::phonesim;

namespace {

// Prints what changed in the record since the last call (unless quiet).
class EventPrinter {
public:
    explicit EventPrinter(bool quiet) : quiet_(quiet) {}

    void update(const SimulatorRecord& r) {
        if (quiet_) return;
        for (size_t i = 0; i < r.sessions.size(); ++i) {
            const SessionRecord& s = r.sessions[i];
            if (i >= seen_.size()) {
                seen_.push_back({});
                std::printf("client %s connected\n", s.peer.c_str());
            }
            Seen& seen = seen_[i];
            if (!seen.media && s.mediaStarted) {
                seen.media = true;
                std::printf("sending version-%d voice to %s\n", s.mediaVersion, s.mediaTarget.c_str());
            }
            if (!seen.mediaError && !s.mediaError.empty()) {
                seen.mediaError = true;
                std::printf("no voice: %s\n", s.mediaError.c_str());
            }
            if (!seen.mediaDone && s.mediaFinished && s.end == SessionEnd::Open) {
                seen.mediaDone = true;
                std::printf("voice finished after %llu packets\n",
                            static_cast<unsigned long long>(s.counters.generated));
            }
            if (!seen.ended && s.end != SessionEnd::Open) {
                seen.ended = true;
                std::printf("session ended: %s\n", sessionEndName(s.end));
            }
        }
        std::fflush(stdout);
    }

private:
    struct Seen {
        bool media = false, mediaError = false, mediaDone = false, ended = false;
    };
    bool quiet_;
    std::vector<Seen> seen_;
};

void printSummary(const SimulatorRecord& r) {
    MediaCounters total;
    size_t keepAlives = 0;
    for (const SessionRecord& s : r.sessions) {
        total.generated += s.counters.generated;
        total.sent += s.counters.sent;
        total.lost += s.counters.lost;
        total.duplicates += s.counters.duplicates;
        total.reordered += s.counters.reordered;
        total.garbage += s.counters.garbage;
        total.sendErrors += s.counters.sendErrors;
        keepAlives += s.countMessages(kSimKeepAlive);
    }
    const char* end = r.sessions.empty() ? "no client" : sessionEndName(r.sessions.back().end);
    std::printf("summary: sessions=%zu packets=%llu sent=%llu lost=%llu duplicated=%llu reordered=%llu "
                "garbage=%llu send-errors=%llu keepalives=%zu end=%s\n",
                r.sessions.size(), static_cast<unsigned long long>(total.generated),
                static_cast<unsigned long long>(total.sent), static_cast<unsigned long long>(total.lost),
                static_cast<unsigned long long>(total.duplicates), static_cast<unsigned long long>(total.reordered),
                static_cast<unsigned long long>(total.garbage), static_cast<unsigned long long>(total.sendErrors),
                keepAlives, end);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    PhoneSimCli cli;
    const auto outcome = cli.parse(std::vector<std::string>(argv + 1, argv + argc));
    if (outcome == PhoneSimCli::Outcome::Help) {
        std::fputs(PhoneSimCli::usage().c_str(), stdout);
        return 0;
    }
    if (outcome == PhoneSimCli::Outcome::Error) {
        std::fprintf(stderr, "vexlink-phone-sim: %s\n%s", cli.error().c_str(), PhoneSimCli::usage().c_str());
        return 2;
    }

    // Signals are taken synchronously by this thread; every thread the
    // simulator starts inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    PhoneSimulator sim(cli.config());
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "vexlink-phone-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s\n", sim.endpoint().c_str());
    std::fflush(stdout);

    EventPrinter printer(cli.quiet());
    bool stopping = false;
    while (!sim.finished()) {
        const timespec slice{0, 50 * 1000 * 1000};
        const int signo = sigtimedwait(&stopSignals, nullptr, &slice);
        if ((signo == SIGINT || signo == SIGTERM) && !stopping) {
            stopping = true;
            sim.stop();
        }
        printer.update(sim.snapshot());
    }
    sim.join();
    const SimulatorRecord record = sim.snapshot();
    printer.update(record);
    if (!record.error.empty()) std::fprintf(stderr, "vexlink-phone-sim: %s\n", record.error.c_str());
    printSummary(record);
    return record.error.empty() ? 0 : 1;
}
