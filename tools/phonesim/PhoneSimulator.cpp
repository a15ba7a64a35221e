#include "tools/phonesim/PhoneSimulator.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tools/phonesim/ControlSession.h"
#include "tools/phonesim/EndpointText.h"
#include "tools/phonesim/SimulatorLog.h"
#include "tools/phonesim/WakeFd.h"

namespace vexlink::phonesim {

namespace {

// A TCP socket listening on the numeric `address` and `port`, or -1 with
// the reason in *why.
int listenSocket(const std::string& address, uint16_t port, std::string* why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || !found) {
        *why = "not a numeric address: " + address;
        return -1;
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + std::strerror(errno);
        freeaddrinfo(found);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (found->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
        *why = "cannot listen on " + address + " port " + service + ": " + std::strerror(errno);
        ::close(fd);
        freeaddrinfo(found);
        return -1;
    }
    freeaddrinfo(found);
    return fd;
}

}  // namespace

PhoneSimulator::PhoneSimulator(SimulatorConfig config)
    : config_(std::move(config)), log_(std::make_unique<SimulatorLog>()), stop_(std::make_unique<WakeFd>()) {}

PhoneSimulator::~PhoneSimulator() {
    stop();
    join();
    if (listenFd_ >= 0) ::close(listenFd_);
    if (!started_ && config_.streamFd >= 0) ::close(config_.streamFd);
}

bool PhoneSimulator::start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (started_) return fail("already started");
    if (!stop_->valid()) return fail("cannot create an eventfd");
    if (config_.streamFd >= 0) {
        endpoint_ = "stream";
    } else {
        std::string why;
        const int fd = listenSocket(config_.control.listenAddress, config_.control.port, &why);
        if (fd < 0) return fail(why);
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
        endpoint_ = endpointText(reinterpret_cast<sockaddr*>(&bound), length);
        listenFd_ = fd;
    }
    started_ = true;
    thread_ = std::thread([this] { controlLoop(); });
    return true;
}

void PhoneSimulator::stop() { stop_->signal(); }

void PhoneSimulator::join() {
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (thread_.joinable()) thread_.join();
}

void PhoneSimulator::controlLoop() {
    std::string error;
    if (config_.streamFd >= 0) {
        ControlSession session(config_, *log_, 0, config_.streamFd, sockaddr_storage{}, 0, *stop_);
        session.run();
    } else {
        uint32_t served = 0;
        while (config_.control.maxSessions == 0 || served < config_.control.maxSessions) {
            pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stop_->fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                error = std::string("poll: ") + std::strerror(errno);
                break;
            }
            if (fds[1].revents & POLLIN) break;
            if (!(fds[0].revents & POLLIN)) continue;
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
                error = std::string("accept: ") + std::strerror(errno);
                break;
            }
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            SimulatorConfig adjusted;
            if (config_.adjustSession) {
                adjusted = config_;
                config_.adjustSession(served, adjusted);
            }
            const SimulatorConfig& used = config_.adjustSession ? adjusted : config_;
            {
                ControlSession session(used, *log_, served, fd, peer, length, *stop_);
                session.run();
            }
            ++served;
            const bool more = config_.control.maxSessions == 0 || served < config_.control.maxSessions;
            if (more && used.control.refuseAfterSessionMs > 0) {
                // Connections are refused while nothing listens on the port.
                ::close(listenFd_);
                pollfd stop{stop_->fd(), POLLIN, 0};
                const int stopped = ::poll(&stop, 1, static_cast<int>(used.control.refuseAfterSessionMs));
                listenFd_ = stopped > 0 ? -1 : listenSocket(used.control.listenAddress, port_, &error);
                if (listenFd_ < 0) break;
            }
        }
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
    }
    log_->update([&](SimulatorRecord& r) {
        r.finished = true;
        r.error = error;
    });
}

bool PhoneSimulator::finished() const {
    return log_->waitUntil([](const SimulatorRecord& r) { return r.finished; }, std::chrono::milliseconds(0));
}

bool PhoneSimulator::waitFinished(std::chrono::milliseconds limit) const {
    return log_->waitUntil([](const SimulatorRecord& r) { return r.finished; }, limit);
}

SimulatorRecord PhoneSimulator::snapshot() const { return log_->snapshot(); }

bool PhoneSimulator::waitUntil(const std::function<bool(const SimulatorRecord&)>& pred,
                               std::chrono::milliseconds limit) const {
    return log_->waitUntil(pred, limit);
}

bool PhoneSimulator::waitForMessages(uint8_t type, size_t count, std::chrono::milliseconds limit) const {
    return waitUntil([&](const SimulatorRecord& r) { return r.lastSession() && r.lastSession()->countMessages(type) >= count; },
                     limit);
}

bool PhoneSimulator::waitForPacketsSent(uint64_t count, std::chrono::milliseconds limit) const {
    return waitUntil([&](const SimulatorRecord& r) { return r.lastSession() && r.lastSession()->counters.sent >= count; },
                     limit);
}

bool PhoneSimulator::waitForMediaFinished(std::chrono::milliseconds limit) const {
    return waitUntil([](const SimulatorRecord& r) { return r.lastSession() && r.lastSession()->mediaFinished; }, limit);
}

bool PhoneSimulator::waitForSessionEnd(std::chrono::milliseconds limit) const {
    return waitUntil(
        [](const SimulatorRecord& r) { return r.lastSession() && r.lastSession()->end != SessionEnd::Open; }, limit);
}

}  // namespace vexlink::phonesim
