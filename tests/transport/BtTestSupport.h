#pragma once

// Helpers shared by the Bluetooth tests: a read running on its own thread,
// and ways to see (without timing guesses) that it is waiting for data.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "transport/SocketErrorException.h"

namespace vexlink::bttest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Well under one 5000 ms wait slice, so a read that only noticed trouble at
// the end of a slice would miss it; far above any wake-up delay on a loaded
// machine.
inline constexpr auto kPromptly = 3500ms;

inline bool descriptorIsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// Polls `condition` (every millisecond, for at most 10 s) until it holds.
inline bool eventually(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);  // polling a condition, not timing
    }
    return false;
}

// True once thread `tid` of this process sits in a poll/select system call,
// i.e. a read on it has started waiting for data.
inline bool waitUntilWaitingForData(pid_t tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    return eventually([&] {
        std::ifstream file(path);
        long number = -1;
        file >> number;
        return number == SYS_poll || number == SYS_ppoll || number == SYS_select || number == SYS_pselect6;
    });
}

// True once nothing is left unread in the descriptor's receive queue.
inline bool waitUntilConsumed(int fd) {
    return eventually([fd] {
        int queued = -1;
        return ::ioctl(fd, FIONREAD, &queued) == 0 && queued == 0;
    });
}

struct ReadOutcome {
    bool threw = false;
    int32_t error = -1;
};

// A read of `length` bytes running on its own thread. `unblock` is called by
// the destructor if the read is still running, so a failed test cannot hang.
class BackgroundRead {
public:
    using ReadFn = std::function<void(uint8_t*, int32_t)>;

    BackgroundRead(ReadFn read, std::function<void()> unblock, int32_t length)
        : unblock_(std::move(unblock)), buffer_(length) {
        std::promise<pid_t> tid;
        std::future<pid_t> tidFuture = tid.get_future();
        outcome_ = result_.get_future();
        thread_ = std::thread([this, read = std::move(read), length, tid = std::move(tid)]() mutable {
            tid.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
            ReadOutcome outcome;
            try {
                read(buffer_.data(), length);
            } catch (const SocketErrorException& e) {
                outcome.threw = true;
                outcome.error = e.error();
            }
            result_.set_value(outcome);
        });
        tid_ = tidFuture.get();
    }
    ~BackgroundRead() {
        if (outcome_.valid() && outcome_.wait_for(0s) != std::future_status::ready) {
            unblock_();
        }
        thread_.join();
    }
    BackgroundRead(const BackgroundRead&) = delete;
    BackgroundRead& operator=(const BackgroundRead&) = delete;

    bool waitUntilWaiting() const { return waitUntilWaitingForData(tid_); }
    bool endsWithin(std::chrono::milliseconds limit) { return outcome_.wait_for(limit) == std::future_status::ready; }
    ReadOutcome outcome() { return outcome_.get(); }
    const std::vector<uint8_t>& bytes() const { return buffer_; }

private:
    std::function<void()> unblock_;
    std::vector<uint8_t> buffer_;
    std::promise<ReadOutcome> result_;
    std::future<ReadOutcome> outcome_;
    std::thread thread_;
    pid_t tid_ = 0;
};

}  // namespace vexlink::bttest
