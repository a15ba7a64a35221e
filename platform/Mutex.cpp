#include "platform/Mutex.h"

#include <cstdio>
#include <cstdlib>

namespace vexlink {

Mutex::Mutex() {
    if (pthread_mutex_init(&mutex_, nullptr) != 0) {
        // Nothing that relies on this lock can run safely without it.
        std::puts("Failed to initialize mutex!!!");
        std::exit(-1);
    }
}

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }

void Mutex::lock() { pthread_mutex_lock(&mutex_); }

bool Mutex::tryLock() { return pthread_mutex_trylock(&mutex_) == 0; }

void Mutex::unlock() { pthread_mutex_unlock(&mutex_); }

}  // namespace vexlink
