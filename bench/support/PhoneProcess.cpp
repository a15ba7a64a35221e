#include "PhoneProcess.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tools/phonesim/PhoneSimulator.h"

namespace vexlink::bench {

namespace {

enum : uint8_t { kMsgPort = 'P', kMsgMediaDone = 'M', kMsgReport = 'R', kMsgFailed = 'F' };

// One frame on the pipe.
struct FrameRecord {
    int64_t firstSendUs;
    uint8_t dropped;
    uint8_t padding[7];
};

void writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n <= 0) return;
        p += n;
        size -= static_cast<size_t>(n);
    }
}

bool readAll(int fd, void* data, size_t size, int limitMs) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, limitMs) <= 0) return false;
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

PhoneProcess::PhoneProcess(const phonesim::SimulatorConfig& config, uint32_t voiceMs)
    : config_(config), voiceMs_(voiceMs) {
    config_.recordPackets = true;  // for the send times
    config_.media.recordPayloads = false;
    config_.media.recordPcm = false;
}

PhoneProcess::~PhoneProcess() { kill(); }

void PhoneProcess::kill() {
    if (child_ > 0) {
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
    }
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

bool PhoneProcess::start(std::string* error) {
    int fds[2];
    if (::pipe(fds) != 0) {
        *error = "pipe failed";
        return false;
    }
    child_ = ::fork();
    if (child_ < 0) {
        *error = "fork failed";
        return false;
    }
    if (child_ == 0) {
        ::close(fds[0]);
        runChild(fds[1]);
    }
    ::close(fds[1]);
    in_ = fds[0];
    uint8_t tag = 0;
    if (!readAll(in_, &tag, 1, 10000) || tag != kMsgPort || !readAll(in_, &port_, sizeof port_, 1000)) {
        *error = "the simulator did not start";
        kill();
        return false;
    }
    return true;
}

bool PhoneProcess::waitMediaDone(int limitMs) {
    uint8_t tag = 0;
    return readAll(in_, &tag, 1, limitMs) && tag == kMsgMediaDone;
}

bool PhoneProcess::finish(PhoneReport& report, std::vector<SentFrame>& frames) {
    uint8_t tag = 0;
    uint32_t count = 0;
    bool ok = readAll(in_, &tag, 1, 30000) && tag == kMsgReport && readAll(in_, &report, sizeof report, 1000) &&
              readAll(in_, &count, sizeof count, 1000);
    frames.clear();
    for (uint32_t i = 0; ok && i < count; ++i) {
        FrameRecord r{};
        ok = readAll(in_, &r, sizeof r, 1000);
        frames.push_back(SentFrame{r.firstSendUs, r.dropped != 0});
    }
    ::close(in_);
    in_ = -1;
    ::waitpid(child_, nullptr, 0);
    child_ = -1;
    return ok;
}

void PhoneProcess::runChild(int out) {
    // The phone is a device of its own: its sending must not wait for this
    // machine's other work (the client, other runs, builds). Its threads,
    // made after this, inherit a real-time policy below the client's receive
    // thread, or at least a favoured niceness; without the privilege it
    // simply keeps the default.
    sched_param realTime{};
    realTime.sched_priority = 1;
    if (::sched_setscheduler(0, SCHED_FIFO, &realTime) != 0) (void)::setpriority(PRIO_PROCESS, 0, -10);
    phonesim::PhoneSimulator sim(config_);
    std::string error;
    if (!sim.start(&error)) {
        const uint8_t failed = kMsgFailed;
        writeAll(out, &failed, 1);
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        std::_Exit(1);
    }
    const uint8_t tag = kMsgPort;
    const uint16_t port = sim.port();
    writeAll(out, &tag, 1);
    writeAll(out, &port, sizeof port);
    const auto limit = std::chrono::milliseconds(voiceMs_ + 120000);
    if (sim.waitForMediaFinished(limit)) {
        const uint8_t done = kMsgMediaDone;
        writeAll(out, &done, 1);
    }
    sim.waitForSessionEnd(limit);
    const phonesim::SimulatorRecord record = sim.snapshot();
    PhoneReport report;
    std::vector<FrameRecord> frames;
    if (const phonesim::SessionRecord* s = record.lastSession()) {
        report.generated = s->counters.generated;
        report.sent = s->counters.sent;
        report.lost = s->counters.lost;
        report.duplicates = s->counters.duplicates;
        report.reordered = s->counters.reordered;
        report.garbage = s->counters.garbage;
        report.sendErrors = s->counters.sendErrors;
        for (const phonesim::SentPacket& p : s->packets) {
            FrameRecord r{};
            r.firstSendUs = p.sendTimesUs.empty() ? -1 : p.sendTimesUs.front();
            r.dropped = p.dropped ? 1 : 0;
            frames.push_back(r);
        }
    }
    const uint8_t r = kMsgReport;
    const auto count = static_cast<uint32_t>(frames.size());
    writeAll(out, &r, 1);
    writeAll(out, &report, sizeof report);
    writeAll(out, &count, sizeof count);
    writeAll(out, frames.data(), frames.size() * sizeof(FrameRecord));
    sim.stop();
    sim.join();
    std::_Exit(0);
}

}  // namespace vexlink::bench
