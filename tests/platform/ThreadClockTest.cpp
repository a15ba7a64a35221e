#include <gtest/gtest.h>

#include <atomic>
#include <sched.h>

#include "platform/Clock.h"
#include "platform/PlatformInfo.h"
#include "platform/Semaphore.h"
#include "platform/Thread.h"

namespace vexlink {
namespace {

struct ThreadProbe {
    Semaphore go{0};
    Semaphore ran{0};
    std::atomic<int> calls{0};
    pthread_t self{};
};

void probeMain(void* arg) {
    auto* probe = static_cast<ThreadProbe*>(arg);
    probe->self = pthread_self();
    probe->calls.fetch_add(1);
    probe->ran.post();
    probe->go.wait();
}

TEST(Thread, CreateRunsFunctionWithArgumentAndStoresJoinableId) {
    ThreadProbe probe;
    ThreadId id{};
    ASSERT_TRUE(createThread(probeMain, &probe, &id));
    probe.ran.wait();
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_TRUE(pthread_equal(probe.self, id));
    EXPECT_FALSE(isCurrentThread(id));
    probe.go.post();
    EXPECT_TRUE(joinThread(id));
    EXPECT_FALSE(joinThread(pthread_self()));  // a thread cannot join itself
}

void recordIsCurrent(void* arg) {
    auto* pair = static_cast<std::pair<ThreadId*, std::atomic<int>*>*>(arg);
    // The creator stores the id before it can join us; wait for it through
    // the atomic so the read below is ordered after that store.
    while (pair->second->load() == 0) sched_yield();
    pair->second->store(isCurrentThread(*pair->first) ? 2 : 3);
}

TEST(Thread, IsCurrentThreadIsTrueOnlyOnThatThread) {
    ThreadId id{};
    std::atomic<int> state{0};
    std::pair<ThreadId*, std::atomic<int>*> pair{&id, &state};
    ASSERT_TRUE(createThread(recordIsCurrent, &pair, &id));
    state.store(1);
    ASSERT_TRUE(joinThread(id));
    EXPECT_EQ(state.load(), 2);
    EXPECT_TRUE(isCurrentThread(pthread_self()));
}

TEST(Thread, CreateWithoutFunctionFailsAndLeavesIdUntouched) {
    ThreadId id = pthread_self();
    EXPECT_FALSE(createThread(nullptr, nullptr, &id));
    EXPECT_TRUE(pthread_equal(id, pthread_self()));
}

TEST(Thread, RaisePriorityGivesFifoMaxOrLeavesPolicyAsItWas) {
    ThreadProbe probe;
    ThreadId id{};
    ASSERT_TRUE(createThread(probeMain, &probe, &id));
    probe.ran.wait();
    int policyBefore = -1;
    sched_param before{};
    ASSERT_EQ(pthread_getschedparam(id, &policyBefore, &before), 0);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    raiseThreadPriority(id);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    int policyAfter = -1;
    sched_param after{};
    ASSERT_EQ(pthread_getschedparam(id, &policyAfter, &after), 0);
    if (policyAfter == SCHED_FIFO) {
        // Privileged (real-time allowed): the highest FIFO priority.
        EXPECT_EQ(after.sched_priority, sched_get_priority_max(SCHED_FIFO));
    } else {
        // The usual case: refused silently, nothing changed.
        EXPECT_EQ(policyAfter, policyBefore);
        EXPECT_EQ(after.sched_priority, before.sched_priority);
    }
    // The caller's own scheduling is not affected.
    int own = -1;
    sched_param ownParam{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &own, &ownParam), 0);
    EXPECT_NE(own, SCHED_FIFO);
    probe.go.post();
    EXPECT_TRUE(joinThread(id));
}

TEST(Clock, MillisecondsAndMicrosecondsAgreeAndNeverGoBack) {
    uint64_t lastMs = monotonicMs();
    uint64_t lastUs = monotonicUs();
    int tight = 0;
    for (int i = 0; i < 10000; ++i) {
        const uint64_t before = monotonicUs();
        const uint64_t ms = monotonicMs();
        const uint64_t after = monotonicUs();
        EXPECT_GE(ms, lastMs);
        EXPECT_GE(before, lastUs);
        EXPECT_GE(after, before);
        // The same clock in two units: the millisecond reading lies between
        // the microsecond readings around it.
        EXPECT_LE(before / 1000, ms);
        EXPECT_LE(ms, after / 1000);
        if (after / 1000 - before / 1000 <= 1) ++tight;
        lastMs = ms;
        lastUs = after;
    }
    // Back to back they agree to within a millisecond, unless the thread was
    // preempted in between, which a loaded machine does now and then.
    EXPECT_GT(tight, 9000);
}

TEST(Clock, CountsRealTime) {
    const uint64_t us0 = monotonicUs();
    Semaphore never(0);
    EXPECT_FALSE(never.waitFor(30));
    const uint64_t us1 = monotonicUs();
    EXPECT_GE(us1 - us0, 29000u);
}

TEST(PlatformInfo, FixedValues) {
    EXPECT_EQ(getOsType(), 2);
    int major = -1, minor = -1;
    getOsVersion(&major, &minor);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    int minMs = -1, maxMs = -1;
    getTimerPeriodRange(&minMs, &maxMs);
    EXPECT_EQ(minMs, 1);
    EXPECT_EQ(maxMs, 1);
}

}  // namespace
}  // namespace vexlink
