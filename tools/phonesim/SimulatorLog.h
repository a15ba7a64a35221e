#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "tools/phonesim/SimulatorRecord.h"

namespace vexlink::phonesim {

// The simulator's record behind one mutex. The control and media threads
// write it through update(); any thread reads a copy or waits for a
// condition on it. Every update wakes the waiters.
class SimulatorLog {
public:
    template <typename Fn>
    void update(Fn&& fn) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fn(record_);
        }
        changed_.notify_all();
    }

    SimulatorRecord snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return record_;
    }

    // Calls pred under the lock after every change until it holds (true) or
    // the limit passes (false).
    bool waitUntil(const std::function<bool(const SimulatorRecord&)>& pred, std::chrono::milliseconds limit) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pred(record_); });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    SimulatorRecord record_;
};

}  // namespace vexlink::phonesim
