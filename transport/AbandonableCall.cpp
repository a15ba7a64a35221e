#include "transport/AbandonableCall.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace vexlink {

namespace {

std::atomic<int32_t> helpersRunning{0};

// What the caller and the helper share.
struct CallRecord {
    AbandonableCall::Work work;
    AbandonableCall::Discard discard;
    int doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // readable once the result is in
    Mutex mutex;
    bool done = false;       // under mutex
    bool abandoned = false;  // under mutex
    int result = -1;         // under mutex

    CallRecord(AbandonableCall::Work w, AbandonableCall::Discard d) : work(std::move(w)), discard(std::move(d)) {}
    ~CallRecord() {
        if (doneFd >= 0) ::close(doneFd);
    }
};

void helperMain(void* arg) {
    {
        std::unique_ptr<std::shared_ptr<CallRecord>> handed(static_cast<std::shared_ptr<CallRecord>*>(arg));
        const std::shared_ptr<CallRecord> record = std::move(*handed);
        handed.reset();
        const int result = record->work();
        bool abandoned;
        {
            MutexLock lock(record->mutex);
            abandoned = record->abandoned;
            if (!abandoned) {
                record->result = result;
                record->done = true;
            }
        }
        if (abandoned) {
            if (record->discard) record->discard(result);
        } else {
            const uint64_t one = 1;
            (void)!::write(record->doneFd, &one, sizeof one);
        }
    }  // the record goes here when the caller has already left
    helpersRunning.fetch_sub(1);
}

}  // namespace

WaitOutcome AbandonableCall::run(Work work, Discard discard, const WaitLimits& limits, int* result) {
    *result = -1;
    auto record = std::make_shared<CallRecord>(std::move(work), std::move(discard));
    if (record->doneFd < 0) return WaitOutcome::Expired;

    auto* handed = new std::shared_ptr<CallRecord>(record);
    helpersRunning.fetch_add(1);
    ThreadId helper{};
    if (!createThread(&helperMain, handed, &helper)) {
        helpersRunning.fetch_sub(1);
        delete handed;
        return WaitOutcome::Expired;
    }
    (void)detachThread(helper);

    const WaitOutcome outcome = limits.wait(record->doneFd, POLLIN);
    MutexLock lock(record->mutex);
    // A result that came in just as the wait gave up is still taken: the
    // caller owns it from here and decides.
    if (record->done) {
        *result = record->result;
        return WaitOutcome::Ready;
    }
    record->abandoned = true;
    return outcome == WaitOutcome::Ready ? WaitOutcome::Expired : outcome;
}

int32_t AbandonableCall::running() { return helpersRunning.load(); }

}  // namespace vexlink
