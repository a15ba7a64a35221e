#pragma once

#include <pthread.h>

namespace vexlink {

// A normal (non-recursive) POSIX mutex embedded in the object it protects.
// A mutex that cannot be initialised is fatal: the constructor prints
// "Failed to initialize mutex!!!" and ends the process with status 255.
// Any thread may lock it; holders keep it only around their own list update.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    // Takes the lock only when nobody holds it; true when taken (then
    // unlock() it as after lock()).
    bool tryLock();
    void unlock();

private:
    pthread_mutex_t mutex_;
};

// Scoped lock over a Mutex.
class MutexLock {
public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace vexlink
