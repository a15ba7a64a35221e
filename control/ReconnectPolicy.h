#pragma once

#include <cstdint>

namespace vexlink {

// With --reconnect, which ends of a connection are followed by another
// attempt, and how long to wait before it.
//
// Every end is retried except the user's stop (0), a client/server mismatch
// (-70: the next attempt would meet the same server) and a transport type
// that cannot be connected (-1: the same every time). A media port in use
// (-27) is retried, since the program that holds it may let it go.
//
// The waits grow 1 s, 2 s, 4 s, 8 s, then stay at 10 s; an end of a
// connection that carried voice starts them at 1 s again.
//
// Threads: the static rules from any thread (the settings are read-only
// once the controller runs); an instance belongs to the controller's event
// thread.
class ReconnectPolicy {
public:
    static constexpr int32_t kFirstWaitMs = 1000;
    static constexpr int32_t kLongestWaitMs = 10000;

    // Whether an end with `result` is worth another attempt.
    static bool retries(int32_t result);
    // Whether an end with `result` is followed by another attempt in this
    // run: --reconnect is set and the result is retried. The controller and
    // the front end both decide by it.
    static bool followsEnd(int32_t result);

    // The wait before the attempt that follows an end; `carriedVoice`: the
    // connection that ended received at least one packet.
    int32_t nextWaitMs(bool carriedVoice);

private:
    int32_t nextWaitMs_ = kFirstWaitMs;
};

}  // namespace vexlink
