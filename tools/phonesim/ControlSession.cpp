#include "tools/phonesim/ControlSession.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/ByteOrder.h"
#include "tools/phonesim/EndpointText.h"
#include "tools/phonesim/MediaSender.h"
#include "tools/phonesim/SimulatorLog.h"

namespace vexlink::phonesim {

ControlSession::ControlSession(const SimulatorConfig& config, SimulatorLog& log, uint32_t index, int fd,
                               const sockaddr_storage& peer, socklen_t peerLength, const WakeFd& stopAll)
    : config_(config), log_(log), index_(index), link_(fd), isStream_(peerLength == 0), peer_(peer),
      peerLength_(peerLength), stopAll_(stopAll) {}

ControlSession::~ControlSession() { finish(SessionEnd::Stopped, false); }

const ReplyBehaviour* ControlSession::behaviourFor(uint8_t type) const {
    switch (type) {
        case kSimHello: return &config_.control.hello;
        case kSimSetup: return &config_.control.setup;
        case kSimStart: return &config_.control.start;
        case kSimCommand104: return &config_.control.command104;
        default: return nullptr;
    }
}

std::vector<uint8_t> ControlSession::buildReply(uint8_t requestType, const ReplyBehaviour& b) const {
    std::vector<uint8_t> body;
    if (b.body) {
        body = *b.body;
    } else {
        body.push_back(b.status);
        if (requestType == kSimHello) body.push_back(config_.control.serverVersion);
    }
    body.insert(body.end(), b.extraBody.begin(), b.extraBody.end());
    const uint32_t declared = b.declaredLength.value_or(static_cast<uint32_t>(body.size()));
    std::vector<uint8_t> frame;
    frame.reserve(5 + body.size() + b.trailing.size());
    frame.push_back(b.type.value_or(requestType));
    uint8_t length[4];
    storeBigEndian32(length, declared);
    frame.insert(frame.end(), length, length + 4);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.insert(frame.end(), b.trailing.begin(), b.trailing.end());
    return frame;
}

SessionEnd ControlSession::run() {
    const std::string peerText =
        isStream_ ? std::string("stream") : endpointText(reinterpret_cast<const sockaddr*>(&peer_), peerLength_);
    log_.update([&](SimulatorRecord& r) {
        SessionRecord s;
        s.index = index_;
        s.peer = peerText;
        s.startUs = simNowUs();
        r.sessions.push_back(std::move(s));
    });
    if (config_.control.onAccept != AcceptAction::Serve) {
        finish(SessionEnd::Fault, config_.control.onAccept == AcceptAction::Reset);
        return end_;
    }

    uint8_t buffer[4096];
    while (end_ == SessionEnd::Open) {
        if (!flushDue(simNowUs())) break;
        timespec limit{};
        timespec* limitPtr = nullptr;
        if (!pending_.empty()) {
            const int64_t waitUs = std::max<int64_t>(0, pending_.front().dueUs - simNowUs());
            limit = timespec{static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000};
            limitPtr = &limit;
        }
        const bool watchMedia = media_ && config_.media.endSessionWhenDone;
        pollfd fds[3] = {{link_.fd(), POLLIN, 0}, {stopAll_.fd(), POLLIN, 0}, {watchMedia ? mediaDone_.fd() : -1, POLLIN, 0}};
        if (::ppoll(fds, 3, limitPtr, nullptr) < 0 && errno != EINTR) {
            finish(SessionEnd::Error, false);
            break;
        }
        if (fds[1].revents & POLLIN) {
            finish(SessionEnd::Stopped, false);
            break;
        }
        if (fds[2].revents & POLLIN) {
            finish(SessionEnd::MediaDone, false);
            break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(link_.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                if (!onBytes(buffer, static_cast<size_t>(n), simNowUs())) break;
            } else if (n == 0) {
                finish(SessionEnd::ClientClosed, false);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                finish(SessionEnd::ClientReset, false);
            }
        }
    }
    return end_;
}

bool ControlSession::onBytes(const uint8_t* data, size_t size, int64_t nowUs) {
    const size_t keep = rawKept_ < config_.maxRawLogBytes ? std::min(size, config_.maxRawLogBytes - rawKept_) : 0;
    rawKept_ += keep;
    log_.update([&](SimulatorRecord& r) {
        SessionRecord& s = r.sessions[index_];
        if (keep < size) s.receivedTruncated = true;
        if (keep == 0) return;
        s.chunks.push_back(ReceivedChunk{nowUs, std::vector<uint8_t>(data, data + keep)});
        s.received.insert(s.received.end(), data, data + keep);
    });

    size_t pos = 0;
    while (pos < size) {
        if (headerHave_ < sizeof header_) {
            if (headerHave_ == 0) firstByteUs_ = nowUs;
            const size_t take = std::min(sizeof header_ - headerHave_, size - pos);
            std::memcpy(header_ + headerHave_, data + pos, take);
            headerHave_ += take;
            pos += take;
            if (headerHave_ < sizeof header_) break;
            const uint32_t declared = loadBigEndian32(header_ + 1);
            if (declared > config_.control.maxBodyBytes) {
                // Never buffer what an untrusted length asks for: record and end.
                ReceivedMessage m;
                m.type = header_[0];
                m.declaredLength = declared;
                m.oversized = true;
                m.firstByteUs = firstByteUs_;
                m.completeUs = nowUs;
                log_.update([&](SimulatorRecord& r) { r.sessions[index_].messages.push_back(std::move(m)); });
                finish(SessionEnd::ProtocolError, false);
                return false;
            }
            bodyNeed_ = declared;
            body_.clear();
        } else {
            const size_t take = std::min(bodyNeed_ - body_.size(), size - pos);
            body_.insert(body_.end(), data + pos, data + pos + take);
            pos += take;
        }
        if (headerHave_ == sizeof header_ && body_.size() == bodyNeed_) {
            ReceivedMessage m;
            m.type = header_[0];
            m.declaredLength = static_cast<uint32_t>(bodyNeed_);
            m.body = std::move(body_);
            m.firstByteUs = firstByteUs_;
            m.completeUs = nowUs;
            body_ = {};
            headerHave_ = 0;
            bodyNeed_ = 0;
            if (!onMessage(std::move(m))) return false;
        }
    }
    return true;
}

bool ControlSession::onMessage(ReceivedMessage&& message) {
    const uint8_t type = message.type;
    if (type == kSimSetup && message.body.size() >= 6) setupPort_ = loadBigEndian32(message.body.data() + 2);
    const int64_t setupPort = setupPort_;
    const int64_t nowUs = message.completeUs;
    log_.update([&](SimulatorRecord& r) {
        SessionRecord& s = r.sessions[index_];
        s.messages.push_back(std::move(message));
        if (type == kSimSetup) s.setupMediaPort = setupPort;
    });

    if (type == kSimKeepAlive) {
        ++keepAlives_;
        if (config_.control.endAfterKeepAlives != 0 && keepAlives_ == config_.control.endAfterKeepAlives) {
            const ReplyAction action = config_.control.keepAliveEndAction == ReplyAction::Reset ? ReplyAction::Reset
                                                                                                : ReplyAction::Close;
            log_.update([&](SimulatorRecord& r) {
                r.sessions[index_].replies.push_back(SentReply{type, action, {}, simNowUs()});
            });
            finish(SessionEnd::Fault, action == ReplyAction::Reset);
            return false;
        }
        return true;
    }
    const ReplyBehaviour* behaviour = behaviourFor(type);
    if (behaviour == nullptr) return true;  // unknown requests are recorded, not answered

    Pending p;
    p.requestType = type;
    p.action = behaviour->action;
    p.bytes = buildReply(type, *behaviour);
    if (p.action != ReplyAction::Reply) p.bytes.resize(std::min<size_t>(p.bytes.size(), behaviour->partialBytes));
    // Replies keep their order even when an earlier one waits longer.
    p.trickleMs = behaviour->trickleMs;
    p.dueUs = nowUs + static_cast<int64_t>(behaviour->delayMs) * 1000;
    if (!pending_.empty()) p.dueUs = std::max(p.dueUs, pending_.back().dueUs);
    if (type == kSimStart && p.action == ReplyAction::Reply && config_.media.enabled) {
        const uint8_t statusSent = p.bytes.size() > 5 ? p.bytes[5] : 0xFF;
        const bool replyOk = p.bytes.size() > 5 && p.bytes[0] == kSimStart && statusSent == 0;
        p.startsMedia = !config_.media.requireStartOk || replyOk;
    }
    pending_.push_back(std::move(p));
    return flushDue(simNowUs());
}

bool ControlSession::flushDue(int64_t nowUs) {
    while (!pending_.empty() && pending_.front().dueUs <= nowUs && end_ == SessionEnd::Open) {
        Pending p = std::move(pending_.front());
        pending_.pop_front();
        const size_t sending = p.trickleMs > 0 && p.bytes.size() > 1 ? 1 : p.bytes.size();
        size_t written = 0;
        const bool ok = link_.writeAll(p.bytes.data(), sending, stopAll_, &sessionStop_, &written);
        const int64_t at = simNowUs();
        log_.update([&](SimulatorRecord& r) {
            r.sessions[index_].replies.push_back(
                SentReply{p.requestType, p.action, std::vector<uint8_t>(p.bytes.begin(), p.bytes.begin() + written), at});
        });
        if (!ok) {
            finish(stopAll_.signalled() ? SessionEnd::Stopped : SessionEnd::ClientReset, false);
            return false;
        }
        if (sending < p.bytes.size()) {
            // The rest of a trickled reply goes first when its next byte is due.
            p.bytes.erase(p.bytes.begin(), p.bytes.begin() + static_cast<long>(sending));
            p.dueUs = at + static_cast<int64_t>(p.trickleMs) * 1000;
            pending_.push_front(std::move(p));
            continue;
        }
        if (p.action == ReplyAction::Close || p.action == ReplyAction::Reset) {
            finish(SessionEnd::Fault, p.action == ReplyAction::Reset);
            return false;
        }
        if (p.startsMedia) startMedia();
    }
    return end_ == SessionEnd::Open;
}

void ControlSession::startMedia() {
    if (media_) return;  // a second Start does not start a second stream
    const int announced = config_.control.serverVersion;
    const int version = config_.media.version != 0 ? config_.media.version : (announced >= 4 ? 4 : announced == 3 ? 3 : 2);
    MediaSender::Target target;
    if (isStream_) {
        target.link = &link_;
        target.text = "stream";
    } else {
        const int64_t port = config_.media.portOverride >= 0 ? config_.media.portOverride : setupPort_;
        if (port <= 0 || port > 65535) {
            log_.update([&](SimulatorRecord& r) {
                r.sessions[index_].mediaError = "no usable media port (" + std::to_string(port) + ")";
            });
            return;
        }
        target.udp = peer_;
        target.udpLength = peerLength_;
        if (peer_.ss_family == AF_INET6) {
            reinterpret_cast<sockaddr_in6*>(&target.udp)->sin6_port = htons(static_cast<uint16_t>(port));
        } else {
            reinterpret_cast<sockaddr_in*>(&target.udp)->sin_port = htons(static_cast<uint16_t>(port));
        }
        target.text = endpointText(reinterpret_cast<const sockaddr*>(&target.udp), target.udpLength);
    }
    // Recorded here, before the session reads on, so that whatever the
    // client sends after the Start reply finds the voice already on record.
    const int64_t startUs = simNowUs() + static_cast<int64_t>(config_.media.startDelayMs) * 1000;
    const std::string targetText = target.text;
    log_.update([&](SimulatorRecord& r) {
        SessionRecord& s = r.sessions[index_];
        s.mediaStarted = true;
        s.mediaStartUs = startUs;
        s.mediaVersion = version;
        s.mediaTarget = targetText;
    });
    media_ = std::make_unique<MediaSender>(config_.media, config_.recordPackets, version, std::move(target), log_,
                                           index_, stopAll_, sessionStop_, mediaDone_);
    std::string error;
    if (!media_->start(startUs, &error)) {
        media_.reset();
        log_.update([&](SimulatorRecord& r) {
            r.sessions[index_].mediaError = error;
            r.sessions[index_].mediaFinished = true;
        });
    }
}

void ControlSession::finish(SessionEnd end, bool reset) {
    if (end_ != SessionEnd::Open) return;
    end_ = end;
    sessionStop_.signal();
    if (media_) media_->join();
    link_.close(reset);
    log_.update([&](SimulatorRecord& r) {
        if (index_ >= r.sessions.size()) return;
        r.sessions[index_].end = end;
        r.sessions[index_].endUs = simNowUs();
    });
}

}  // namespace vexlink::phonesim
