#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <sys/socket.h>
#include <vector>

#include "tools/phonesim/SimulatorConfig.h"
#include "tools/phonesim/SimulatorRecord.h"
#include "tools/phonesim/StreamLink.h"
#include "tools/phonesim/WakeFd.h"

namespace vexlink::phonesim {

class MediaSender;
class SimulatorLog;

// One client session on the server side of the control protocol: reads and
// records the client's frames, answers Hello, Setup, Start and Command104 as
// configured (or misbehaves), and after the Start reply hands the voice to a
// MediaSender. Runs entirely on the control thread (run() returns when the
// session is over, with the media thread joined and the link closed).
class ControlSession {
public:
    // `peer` is the TCP peer (length 0 on a stream link).
    ControlSession(const SimulatorConfig& config, SimulatorLog& log, uint32_t index, int fd,
                   const sockaddr_storage& peer, socklen_t peerLength, const WakeFd& stopAll);
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    SessionEnd run();

private:
    struct Pending {
        int64_t dueUs = 0;
        uint8_t requestType = 0;
        ReplyAction action = ReplyAction::Reply;
        std::vector<uint8_t> bytes;
        bool startsMedia = false;
        uint32_t trickleMs = 0;  // one byte now, the rest this much later
    };

    bool onBytes(const uint8_t* data, size_t size, int64_t nowUs);  // false: session over
    bool onMessage(ReceivedMessage&& message);
    bool flushDue(int64_t nowUs);
    std::vector<uint8_t> buildReply(uint8_t requestType, const ReplyBehaviour& behaviour) const;
    const ReplyBehaviour* behaviourFor(uint8_t type) const;
    void startMedia();
    void finish(SessionEnd end, bool reset);

    const SimulatorConfig& config_;
    SimulatorLog& log_;
    uint32_t index_;
    StreamLink link_;
    bool isStream_;
    sockaddr_storage peer_;
    socklen_t peerLength_;
    const WakeFd& stopAll_;
    WakeFd sessionStop_;
    WakeFd mediaDone_;
    std::unique_ptr<MediaSender> media_;
    std::deque<Pending> pending_;
    SessionEnd end_ = SessionEnd::Open;

    // Frame parser state.
    uint8_t header_[5] = {};
    size_t headerHave_ = 0;
    std::vector<uint8_t> body_;
    size_t bodyNeed_ = 0;
    int64_t firstByteUs_ = 0;
    size_t rawKept_ = 0;

    int64_t setupPort_ = -1;
    uint32_t keepAlives_ = 0;
};

}  // namespace vexlink::phonesim
