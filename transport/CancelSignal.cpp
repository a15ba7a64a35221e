#include "transport/CancelSignal.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace vexlink {

CancelSignal::CancelSignal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelSignal::~CancelSignal() {
    if (fd_ >= 0) ::close(fd_);
}

void CancelSignal::request(uint64_t order) {
    // Two requests may race; the later number must win.
    uint64_t seen = requestedAt_.load();
    while (seen < order && !requestedAt_.compare_exchange_weak(seen, order)) {
    }
    // Stored before the wake-up, so a waiter that drains it sees the number.
    if (fd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(fd_, &one, sizeof one);
    }
}

void CancelSignal::beginAttempt(uint64_t order) {
    drain();
    attempt_.store(order);
}

void CancelSignal::endAttempt() { attempt_.store(kNoAttempt); }

bool CancelSignal::cancelled() const { return requestedAt_.load() > attempt_.load(); }

void CancelSignal::drain() const {
    if (fd_ < 0) return;
    uint64_t count = 0;
    (void)!::read(fd_, &count, sizeof count);
}

}  // namespace vexlink
