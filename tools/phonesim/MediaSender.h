#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <thread>

#include "tools/phonesim/SimulatorConfig.h"

namespace vexlink::phonesim {

class SimulatorLog;
class StreamLink;
class WakeFd;

// Sends one session's voice: encodes the signal frame by frame, wraps each
// frame in the chosen media packet layout, and writes the packets on a 20 ms
// monotonic schedule (absolute due times, so lateness never accumulates),
// shaped by the impairment model. Writes UDP datagrams to the client's media
// port, or the packets themselves on a stream link.
//
// Threads: the control thread constructs it, calls start() and join(), and
// signals `sessionStop`; the sender's own thread does everything else and
// signals `done` when its last packet has gone out (or it failed).
class MediaSender {
public:
    struct Target {
        sockaddr_storage udp{};   // used when link is null
        socklen_t udpLength = 0;
        StreamLink* link = nullptr;  // borrowed; outlives the sender's thread
        std::string text;
    };

    MediaSender(const MediaConfig& config, bool recordPackets, int version, Target target, SimulatorLog& log,
                uint32_t session, const WakeFd& stopAll, const WakeFd& sessionStop, WakeFd& done);
    ~MediaSender();  // joins
    MediaSender(const MediaSender&) = delete;
    MediaSender& operator=(const MediaSender&) = delete;

    // Media time 0 (when packet 0 is due) is `startUs` on the simNowUs clock.
    bool start(int64_t startUs, std::string* error);
    void join();

    // Packets a configuration asks for (UINT64_MAX: endless).
    static uint64_t plannedPackets(const MediaConfig& config);

private:
    void run();

    const MediaConfig& config_;
    bool recordPackets_;
    int version_;
    Target target_;
    SimulatorLog& log_;
    uint32_t session_;
    const WakeFd& stopAll_;
    const WakeFd& sessionStop_;
    WakeFd& done_;
    int udpFd_ = -1;
    int64_t startUs_ = 0;
    std::shared_ptr<const SignalSource> signal_;
    std::thread thread_;
};

}  // namespace vexlink::phonesim
