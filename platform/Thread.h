#pragma once

#include <pthread.h>

namespace vexlink {

using ThreadId = pthread_t;
using ThreadFunction = void (*)(void* arg);

// Starts a joinable thread running fn(arg). On failure nothing is left behind
// and *id is untouched.
bool createThread(ThreadFunction fn, void* arg, ThreadId* id);

// Asks for SCHED_FIFO at the highest priority. Refusal (no real-time
// privileges) is the normal case and is ignored.
void raiseThreadPriority(ThreadId id);

// pthread_join without collecting a result; true when the join succeeded.
// A thread never waits for itself: called on `id`, it returns false at once.
bool joinThread(ThreadId id);

// Lets a thread that nobody will join free its resources when it ends.
// True when it succeeded; the id must not be joined afterwards.
bool detachThread(ThreadId id);

// True when called on the thread `id`.
bool isCurrentThread(ThreadId id);

}  // namespace vexlink
