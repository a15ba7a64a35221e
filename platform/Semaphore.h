#pragma once

#include <semaphore.h>

namespace vexlink {

// Unnamed, process-private counting semaphore. wait() retries after EINTR,
// so it returns only once it has taken a unit; post() is async-signal-safe.
class Semaphore {
public:
    explicit Semaphore(unsigned initialCount = 0);
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void wait();
    // Waits at most timeoutMs; true when a unit was taken.
    bool waitFor(int timeoutMs);
    void post();

private:
    sem_t sem_;
};

}  // namespace vexlink
