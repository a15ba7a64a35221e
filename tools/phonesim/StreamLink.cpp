#include "tools/phonesim/StreamLink.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/phonesim/WakeFd.h"

namespace vexlink::phonesim {

StreamLink::StreamLink(int fd) : fd_(fd) {
    const int flags = fcntl(fd_, F_GETFL, 0);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

StreamLink::~StreamLink() { close(false); }

bool StreamLink::writeAll(const uint8_t* data, size_t size, const WakeFd& stop, const WakeFd* stop2,
                          size_t* written) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    size_t done = 0;
    bool ok = fd_ >= 0;
    while (ok && done < size) {
        const ssize_t n = ::send(fd_, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p[3] = {{fd_, POLLOUT, 0}, {stop.fd(), POLLIN, 0}, {stop2 ? stop2->fd() : -1, POLLIN, 0}};
            if (::poll(p, 3, -1) < 0 && errno != EINTR) ok = false;
            if ((p[1].revents | p[2].revents) & POLLIN) ok = false;
            continue;
        }
        ok = false;
    }
    if (written) *written = done;
    return ok;
}

void StreamLink::close(bool reset) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (fd_ < 0) return;
    if (reset) {
        linger l{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd_);
    fd_ = -1;
}

}  // namespace vexlink::phonesim
