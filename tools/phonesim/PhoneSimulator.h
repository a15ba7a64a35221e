#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/phonesim/SimulatorConfig.h"
#include "tools/phonesim/SimulatorRecord.h"

namespace vexlink::phonesim {

class SimulatorLog;
class WakeFd;

// Plays the phone's server for tests, benchmarks and the demo: a TCP control
// listener (or one Bluetooth-like stream link) that answers the control
// protocol as configured, and, after the Start reply, the voice as media
// packets (UDP to the client's media port, or on the link), shaped by the
// configured impairments. Everything it receives and sends is recorded.
//
// Threads:
//  - the owner's thread (a test or main) constructs it, calls start(), stop(),
//    join() and destroys it; stop() and the read/wait operations may be
//    called from any thread (not from a signal handler);
//  - the control thread, started by start(), accepts clients one at a time
//    and runs each session's protocol;
//  - one media thread per session, started by the control thread after the
//    Start reply and joined by it when the session ends.
// The record is shared behind one mutex: snapshot() copies it, waitUntil()
// waits for a condition on it.
class PhoneSimulator {
public:
    explicit PhoneSimulator(SimulatorConfig config);
    ~PhoneSimulator();  // stop() and join()
    PhoneSimulator(const PhoneSimulator&) = delete;
    PhoneSimulator& operator=(const PhoneSimulator&) = delete;

    // Binds and listens (so port() is valid once it returns) or adopts the
    // stream link, then starts the control thread. False with a reason in
    // *error when the address cannot be used. Call once.
    bool start(std::string* error = nullptr);
    // Ends the current session and the simulator; idempotent, any thread.
    void stop();
    // Waits for the control thread (and through it every media thread).
    void join();

    // The listening port (after start); "127.0.0.1:8125" / "[::1]:8125".
    uint16_t port() const { return port_; }
    std::string endpoint() const { return endpoint_; }

    // True once the control thread has ended (sessions served, stopped, or
    // failed).
    bool finished() const;
    bool waitFinished(std::chrono::milliseconds limit) const;

    SimulatorRecord snapshot() const;
    bool waitUntil(const std::function<bool(const SimulatorRecord&)>& pred, std::chrono::milliseconds limit) const;

    // Conveniences over waitUntil for the latest session.
    bool waitForMessages(uint8_t type, size_t count, std::chrono::milliseconds limit) const;
    bool waitForPacketsSent(uint64_t count, std::chrono::milliseconds limit) const;
    bool waitForMediaFinished(std::chrono::milliseconds limit) const;
    bool waitForSessionEnd(std::chrono::milliseconds limit) const;

    const SimulatorConfig& config() const { return config_; }

private:
    void controlLoop();

    SimulatorConfig config_;
    std::unique_ptr<SimulatorLog> log_;
    std::unique_ptr<WakeFd> stop_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::string endpoint_;
    std::thread thread_;
    std::mutex joinMutex_;
    bool started_ = false;
};

}  // namespace vexlink::phonesim
