#include "tools/phonesim/SimulatorRecord.h"

#include <ctime>

namespace vexlink::phonesim {

int64_t simNowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

const char* sessionEndName(SessionEnd end) {
    switch (end) {
        case SessionEnd::Open: return "open";
        case SessionEnd::ClientClosed: return "client closed";
        case SessionEnd::ClientReset: return "client reset";
        case SessionEnd::Fault: return "closed by fault";
        case SessionEnd::ProtocolError: return "protocol error";
        case SessionEnd::MediaDone: return "media done";
        case SessionEnd::Stopped: return "stopped";
        case SessionEnd::Error: return "error";
    }
    return "?";
}

size_t SessionRecord::countMessages(uint8_t type) const {
    size_t n = 0;
    for (const auto& m : messages) n += m.type == type ? 1 : 0;
    return n;
}

std::vector<const ReceivedMessage*> SessionRecord::messagesOfType(uint8_t type) const {
    std::vector<const ReceivedMessage*> out;
    for (const auto& m : messages) {
        if (m.type == type) out.push_back(&m);
    }
    return out;
}

}  // namespace vexlink::phonesim
