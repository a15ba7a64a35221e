#include "platform/Thread.h"

#include <memory>
#include <sched.h>

namespace vexlink {

namespace {

// Handed from createThread to the new thread, which takes ownership.
struct StartRecord {
    ThreadFunction fn;
    void* arg;
};

void* threadStart(void* raw) {
    ThreadFunction fn = nullptr;
    void* arg = nullptr;
    {
        std::unique_ptr<StartRecord> record(static_cast<StartRecord*>(raw));
        fn = record->fn;
        arg = record->arg;
    }  // freed before the function runs, which may outlive everything else
    fn(arg);
    return nullptr;
}

}  // namespace

bool createThread(ThreadFunction fn, void* arg, ThreadId* id) {
    if (fn == nullptr || id == nullptr) return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);
    auto record = std::make_unique<StartRecord>(StartRecord{fn, arg});
    ThreadId created{};
    const int rc = pthread_create(&created, &attr, threadStart, record.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;  // the record is freed here; *id untouched
    record.release();           // now owned by the new thread
    *id = created;
    return true;
}

void raiseThreadPriority(ThreadId id) {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    // Without real-time privileges this fails with EPERM, which is the usual
    // case; the thread then simply keeps its default scheduling.
    (void)pthread_setschedparam(id, SCHED_FIFO, &param);
}

bool joinThread(ThreadId id) { return !isCurrentThread(id) && pthread_join(id, nullptr) == 0; }

bool detachThread(ThreadId id) { return pthread_detach(id) == 0; }

bool isCurrentThread(ThreadId id) { return pthread_equal(pthread_self(), id) != 0; }

}  // namespace vexlink
