#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct spa_hook;
struct pw_stream;

namespace vexlink {

// One connection to the PipeWire daemon, with PipeWire's loop thread that
// delivers its events. Every wait is bounded by one deadline, set by
// connect(), so that a daemon that accepts the socket but never answers
// cannot hold the caller.
//
// Threads: connect(), disconnect(), lock(), unlock() and wait() are called
// by one controlling thread. The loop thread runs the event callbacks of
// this connection and of the objects made on it, with the lock held; they
// wake a waiting caller with signal().
class PipeWireConnection {
public:
    PipeWireConnection();
    ~PipeWireConnection();  // disconnect()
    PipeWireConnection(const PipeWireConnection&) = delete;
    PipeWireConnection& operator=(const PipeWireConnection&) = delete;

    // Starts the loop thread, connects and waits until the daemon answers a
    // round trip. False, with error() saying why, when that does not happen
    // within `timeoutMs`; disconnect() then cleans up.
    bool connect(int32_t timeoutMs);
    // Stops the loop thread, then disconnects and frees everything. Objects
    // made on core() must be destroyed first (under lock()).
    void disconnect();

    void lock();
    void unlock();
    // Takes the lock, removes `listener` and destroys `stream` (its node
    // leaves the data thread first, so no cycle runs after this); `stream`
    // becomes null. Nothing happens for a null stream.
    void destroyStream(pw_stream*& stream, spa_hook* listener);
    // With the lock held: waits for a signal() or the deadline; false once
    // the deadline has passed (or the wait failed).
    bool wait();
    // From event callbacks on the loop thread: wakes wait().
    void signal();

    pw_core* core() const { return core_; }
    const std::string& error() const { return error_; }

private:
    static void onDone(void* self, uint32_t id, int seq);
    static void onError(void* self, uint32_t id, int seq, int res, const char* message);

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    std::unique_ptr<spa_hook> coreListener_;
    timespec deadline_{};
    int syncSeq_ = -1;
    bool waiting_ = false;  // connect() waits for the round trip
    bool synced_ = false;
    bool failed_ = false;
    std::string error_;
};

}  // namespace vexlink
