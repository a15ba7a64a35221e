#include "tools/phonesim/WakeFd.h"

#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vexlink::phonesim {

WakeFd::WakeFd() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeFd::~WakeFd() {
    if (fd_ >= 0) ::close(fd_);
}

void WakeFd::signal() {
    const uint64_t one = 1;
    // Never read back, so the descriptor stays readable; the only failure
    // (counter overflow) cannot happen with single increments.
    [[maybe_unused]] ssize_t r = ::write(fd_, &one, sizeof one);
}

bool WakeFd::signalled() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

}  // namespace vexlink::phonesim
