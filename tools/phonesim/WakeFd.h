#pragma once

namespace vexlink::phonesim {

// A level-triggered wake-up: an eventfd that becomes readable for good once
// signalled. Threads that wait in poll() put it next to their sockets to be
// told to stop. signal() may be called from any thread.
class WakeFd {
public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void signal();
    bool signalled() const;

private:
    int fd_ = -1;
};

}  // namespace vexlink::phonesim
