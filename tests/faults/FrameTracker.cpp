#include "FrameTracker.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

namespace vexlink::test {

namespace {

// Open addressing with linear probing; 0 marks a free slot. Deletion shifts
// the following entries back, so lookups of untracked addresses (every other
// delete of the program) stay short however many frames came and went.
constexpr size_t kMask = FrameTracker::kCapacity - 1;

std::mutex tableLock;
uintptr_t table[FrameTracker::kCapacity];
bool played[FrameTracker::kCapacity];  // moves with its entry
std::atomic<size_t> liveCount{0};
std::atomic<size_t> discardedCount{0};
std::atomic<size_t> overflowCount{0};
std::atomic<size_t> totalCount{0};

size_t slotOf(uintptr_t key) { return static_cast<size_t>((key >> 4) * 0x9E3779B97F4A7C15ull >> 48) & kMask; }

void insert(uintptr_t key) {
    std::lock_guard<std::mutex> lock(tableLock);
    if (liveCount.load(std::memory_order_relaxed) + 1 >= FrameTracker::kCapacity / 2) {
        overflowCount.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    size_t i = slotOf(key);
    while (table[i] != 0) {
        if (table[i] == key) return;  // already tracked
        i = (i + 1) & kMask;
    }
    table[i] = key;
    played[i] = false;
    liveCount.fetch_add(1, std::memory_order_relaxed);
}

// The slot of a tracked key, or kCapacity. Under the lock.
size_t find(uintptr_t key) {
    size_t i = slotOf(key);
    while (table[i] != key) {
        if (table[i] == 0) return FrameTracker::kCapacity;
        i = (i + 1) & kMask;
    }
    return i;
}

void forget(uintptr_t key) {
    // Nearly every delete of the program is not a tracked frame; while no
    // frame is tracked at all the lock is not even taken.
    if (liveCount.load(std::memory_order_acquire) == 0) return;
    std::lock_guard<std::mutex> lock(tableLock);
    size_t i = find(key);
    if (i == FrameTracker::kCapacity) return;
    if (!played[i]) discardedCount.fetch_add(1, std::memory_order_relaxed);
    table[i] = 0;
    liveCount.fetch_sub(1, std::memory_order_relaxed);
    size_t j = i;
    for (;;) {
        j = (j + 1) & kMask;
        if (table[j] == 0) break;
        const size_t home = slotOf(table[j]);
        // Entry j may stay when its home lies cyclically in (i, j].
        const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (stays) continue;
        table[i] = table[j];
        played[i] = played[j];
        table[j] = 0;
        i = j;
    }
}

void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void release(void* p) {
    if (p == nullptr) return;
    forget(reinterpret_cast<uintptr_t>(p));
    std::free(p);
}

}  // namespace

void FrameTracker::track(const void* frame) {
    totalCount.fetch_add(1, std::memory_order_relaxed);
    insert(reinterpret_cast<uintptr_t>(frame));
}

void FrameTracker::markWritten(const void* frame) {
    std::lock_guard<std::mutex> lock(tableLock);
    const size_t i = find(reinterpret_cast<uintptr_t>(frame));
    if (i != kCapacity) played[i] = true;
}

size_t FrameTracker::discarded() { return discardedCount.load(std::memory_order_relaxed); }

size_t FrameTracker::live() {
    std::lock_guard<std::mutex> lock(tableLock);
    return liveCount.load(std::memory_order_relaxed);
}

size_t FrameTracker::overflowed() { return overflowCount.load(std::memory_order_relaxed); }
size_t FrameTracker::trackedTotal() { return totalCount.load(std::memory_order_relaxed); }

}  // namespace vexlink::test

// The replaceable allocation functions of this test program. New and delete
// are both backed by malloc and free (the sanitizers then see matching
// pairs); delete first forgets a tracked frame.
void* operator new(std::size_t size) { return vexlink::test::allocate(size); }
void* operator new[](std::size_t size) { return vexlink::test::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size == 0 ? 1 : size); }
void operator delete(void* p) noexcept { vexlink::test::release(p); }
void operator delete[](void* p) noexcept { vexlink::test::release(p); }
void operator delete(void* p, std::size_t) noexcept { vexlink::test::release(p); }
void operator delete[](void* p, std::size_t) noexcept { vexlink::test::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { vexlink::test::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { vexlink::test::release(p); }
