#include "platform/Semaphore.h"

#include <cerrno>
#include <ctime>

// ThreadSanitizer intercepts sem_post and sem_wait but not sem_clockwait, so
// it would not see the ordering a timed wait gives; tell it by hand.
#if defined(__SANITIZE_THREAD__)
#define VEXLINK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXLINK_TSAN 1
#endif
#endif
#ifdef VEXLINK_TSAN
extern "C" void __tsan_acquire(void* addr);
#endif

namespace vexlink {

Semaphore::Semaphore(unsigned initialCount) { sem_init(&sem_, 0, initialCount); }

Semaphore::~Semaphore() { sem_destroy(&sem_); }

void Semaphore::wait() {
    // A signal handler running on this thread interrupts sem_wait with EINTR;
    // the caller asked for a unit, so keep waiting for one.
    while (sem_wait(&sem_) != 0 && errno == EINTR) {
    }
}

bool Semaphore::waitFor(int timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    // The deadline is on the monotonic clock so that a change of the wall
    // clock neither shortens nor stretches the wait. It is fixed once, so
    // retries after EINTR do not extend it.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (sem_clockwait(&sem_, CLOCK_MONOTONIC, &deadline) == 0) {
#ifdef VEXLINK_TSAN
            __tsan_acquire(&sem_);
#endif
            return true;
        }
        if (errno != EINTR) return false;  // ETIMEDOUT (or EINVAL)
    }
}

void Semaphore::post() { sem_post(&sem_); }

}  // namespace vexlink
