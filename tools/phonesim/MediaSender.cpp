#include "tools/phonesim/MediaSender.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <queue>
#include <unistd.h>
#include <vector>

#include "tools/phonesim/ImpairmentModel.h"
#include "tools/phonesim/MediaPacketWriter.h"
#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/SimulatorLog.h"
#include "tools/phonesim/StreamLink.h"
#include "tools/phonesim/ToneSignal.h"
#include "tools/phonesim/WakeFd.h"

namespace vexlink::phonesim {

namespace {

enum class OutKind : uint8_t { Packet, Duplicate, Garbage };

struct Outgoing {
    int64_t dueUs = 0;
    uint64_t order = 0;  // ties go out in the order they were planned
    OutKind kind = OutKind::Packet;
    uint64_t index = 0;
    GarbageKind garbageKind = kGarbageRandom;
    std::vector<uint8_t> bytes;
};

struct LaterFirst {
    bool operator()(const Outgoing& a, const Outgoing& b) const {
        return a.dueUs != b.dueUs ? a.dueUs > b.dueUs : a.order > b.order;
    }
};

}  // namespace

MediaSender::MediaSender(const MediaConfig& config, bool recordPackets, int version, Target target,
                         SimulatorLog& log, uint32_t session, const WakeFd& stopAll, const WakeFd& sessionStop,
                         WakeFd& done)
    : config_(config), recordPackets_(recordPackets), version_(version), target_(std::move(target)), log_(log),
      session_(session), stopAll_(stopAll), sessionStop_(sessionStop), done_(done) {
    signal_ = config_.signal ? config_.signal : std::make_shared<ToneSignal>();
}

MediaSender::~MediaSender() {
    join();
    if (udpFd_ >= 0) ::close(udpFd_);
}

uint64_t MediaSender::plannedPackets(const MediaConfig& config) {
    if (config.packetCount > 0) return config.packetCount;
    const uint32_t flood = std::max<uint32_t>(1, config.impairments.flood);
    const uint32_t frameMs = std::max<uint32_t>(1, config.impairments.frameMs);
    if (config.durationMs > 0) return std::max<uint64_t>(1, static_cast<uint64_t>(config.durationMs) * flood / frameMs);
    if (config.signal && config.signal->frameCount() > 0) return config.signal->frameCount();
    return UINT64_MAX;
}

bool MediaSender::start(int64_t startUs, std::string* error) {
    startUs_ = startUs;
    if (target_.link == nullptr) {
        udpFd_ = ::socket(target_.udp.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (udpFd_ < 0) {
            if (error) *error = "cannot create the UDP socket";
            return false;
        }
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void MediaSender::join() {
    if (thread_.joinable()) thread_.join();
}

void MediaSender::run() {
    OpusFrameEncoder encoder(config_.application, config_.bitrate, config_.complexity, config_.fecLossPercent);
    if (!encoder.ok()) {
        log_.update([&](SimulatorRecord& r) { r.sessions[session_].mediaError = "opus encoder unavailable"; });
        done_.signal();
        return;
    }
    ImpairmentModel model(config_.impairments);
    const uint64_t total = plannedPackets(config_);
    const int64_t startUs = startUs_;

    std::priority_queue<Outgoing, std::vector<Outgoing>, LaterFirst> queue;
    uint64_t order = 0;
    uint64_t nextIndex = 0;
    uint64_t highestSent = 0;
    bool anySent = false;
    int16_t frame[kSimFrameSamples];
    uint8_t payload[kMaxOpusPayload];
    uint8_t wire[kV4Header + kMaxOpusPayload];
    std::vector<uint8_t> junk;

    auto stopRequested = [&] { return stopAll_.signalled() || sessionStop_.signalled(); };

    for (;;) {
        const int64_t now = simNowUs();
        // Produce every packet whose time has come (more than one after a late wake-up).
        while (nextIndex < total && startUs + model.nominalUs(nextIndex) <= now) {
            const PacketPlan plan = model.next();
            signal_->render(plan.index, frame);
            const int32_t size = encoder.encode(frame, payload, sizeof payload);
            if (size < 0) {
                log_.update([&](SimulatorRecord& r) { r.sessions[session_].mediaError = "opus encoding failed"; });
                nextIndex = total;
                break;
            }
            MediaPacketFields fields;
            fields.version = version_;
            fields.sequence = config_.firstSequence + static_cast<uint32_t>(plan.index);
            fields.timestampMs = config_.firstTimestampMs + plan.timestampMs;
            fields.gainCode = config_.gainCode;
            const size_t wireSize = writeMediaPacket(fields, payload, static_cast<size_t>(size), wire, sizeof wire);
            log_.update([&](SimulatorRecord& r) {
                SessionRecord& s = r.sessions[session_];
                ++s.counters.generated;
                if (plan.dropped) ++s.counters.lost;
                if (!recordPackets_) return;
                SentPacket p;
                p.index = plan.index;
                p.sequence = fields.sequence;
                p.timestampMs = fields.timestampMs;
                p.gainCode = fields.gainCode;
                p.version = version_;
                if (config_.recordPayloads) p.payload.assign(payload, payload + size);
                if (config_.recordPcm) p.pcm.assign(frame, frame + kSimFrameSamples);
                p.producedUs = now;
                p.dropped = plan.dropped;
                p.dropCause = plan.dropCause;
                p.reordered = plan.reordered;
                p.stalled = plan.stalled;
                s.packets.push_back(std::move(p));
            });
            if (!plan.dropped) {
                queue.push(Outgoing{startUs + plan.sendUs, order++, OutKind::Packet, plan.index, kGarbageRandom,
                                    std::vector<uint8_t>(wire, wire + wireSize)});
                if (plan.duplicated) {
                    queue.push(Outgoing{startUs + plan.duplicateSendUs, order++, OutKind::Duplicate, plan.index,
                                        kGarbageRandom, std::vector<uint8_t>(wire, wire + wireSize)});
                }
            }
            for (uint32_t g = 0; g < plan.garbageCount; ++g) {
                const GarbagePlan& gp = plan.garbage[g];
                if (target_.link != nullptr && gp.size == 0) continue;  // a stream has no empty datagrams
                junk.resize(gp.size);
                ImpairmentModel::fillGarbage(gp.contentSeed, junk.data(), junk.size());
                queue.push(Outgoing{startUs + gp.sendUs, order++, OutKind::Garbage, plan.index, gp.kind, junk});
            }
            ++nextIndex;
        }

        // Write everything that is due.
        while (!queue.empty() && queue.top().dueUs <= simNowUs()) {
            Outgoing out = queue.top();
            queue.pop();
            bool ok;
            if (target_.link != nullptr) {
                ok = target_.link->writeAll(out.bytes.data(), out.bytes.size(), stopAll_, &sessionStop_);
            } else {
                const ssize_t n = ::sendto(udpFd_, out.bytes.data(), out.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                           reinterpret_cast<const sockaddr*>(&target_.udp), target_.udpLength);
                ok = n == static_cast<ssize_t>(out.bytes.size());
            }
            const int64_t sentAt = simNowUs();
            log_.update([&](SimulatorRecord& r) {
                SessionRecord& s = r.sessions[session_];
                if (!ok) {
                    ++s.counters.sendErrors;
                    return;
                }
                if (out.kind == OutKind::Garbage) {
                    ++s.counters.garbage;
                    if (recordPackets_) {
                        s.garbage.push_back(SentGarbage{out.index, out.garbageKind,
                                                        static_cast<uint32_t>(out.bytes.size()), sentAt});
                    }
                    return;
                }
                if (out.kind == OutKind::Duplicate) {
                    ++s.counters.duplicates;
                } else {
                    ++s.counters.sent;
                    if (anySent && out.index < highestSent) ++s.counters.reordered;
                    if (!anySent || out.index > highestSent) highestSent = out.index;
                    anySent = true;
                }
                if (recordPackets_ && out.index < s.packets.size()) s.packets[out.index].sendTimesUs.push_back(sentAt);
            });
            if (stopRequested()) break;
        }

        if (stopRequested()) break;
        if (nextIndex >= total && queue.empty()) break;

        int64_t wakeUs = INT64_MAX;
        if (nextIndex < total) wakeUs = startUs + model.nominalUs(nextIndex);
        if (!queue.empty()) wakeUs = std::min(wakeUs, queue.top().dueUs);
        const int64_t waitUs = std::max<int64_t>(0, wakeUs - simNowUs());
        const timespec limit{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
        pollfd p[2] = {{stopAll_.fd(), POLLIN, 0}, {sessionStop_.fd(), POLLIN, 0}};
        if (::ppoll(p, 2, &limit, nullptr) > 0) break;
    }

    log_.update([&](SimulatorRecord& r) { r.sessions[session_].mediaFinished = true; });
    done_.signal();
}

}  // namespace vexlink::phonesim
