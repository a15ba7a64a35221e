#include "PortReservation.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "transport/SocketUtil.h"

namespace vexlink::test {
namespace {

constexpr int32_t kLowestPort = 20000;

// The first port the kernel may hand out on its own; a conservative
// default if the sysctl cannot be read.
int32_t ephemeralLow() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int32_t low = 0;
    if (range >> low && low > kLowestPort + 1000) return low;
    return 32768;
}

std::string lockFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    folder += "/vexlink-test-ports";
    if (::mkdir(folder.c_str(), 0) == 0) ::chmod(folder.c_str(), 01777);  // shared, like /tmp
    return folder;
}

// Whether `port` can be bound right now, as the client binds it.
bool bindable(int32_t port, int type) {
    const int fd = openBoundSocket(port, type);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

}  // namespace

int32_t reservePort(int type) {
    // The locks live as long as the process; the kernel drops them at exit,
    // however the process ends.
    static std::mutex mutex;
    static std::vector<int> held;
    std::lock_guard<std::mutex> lock(mutex);

    const std::string folder = lockFolder();
    const int32_t span = ephemeralLow() - kLowestPort;
    std::random_device seed;
    const int32_t first = int32_t(seed() % uint32_t(span));
    for (int32_t i = 0; i < span; ++i) {
        const int32_t port = kLowestPort + (first + i) % span;
        const std::string path = folder + "/" + std::to_string(port);
        const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);  // another test process has it
            continue;
        }
        // Without a usable lock folder the bind check alone still applies.
        if (bindable(port, type)) {
            if (fd >= 0) held.push_back(fd);
            return port;
        }
        if (fd >= 0) ::close(fd);
    }
    return -1;
}

}  // namespace vexlink::test
