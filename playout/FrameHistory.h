#pragma once

#include <array>
#include <cstdint>

namespace vexlink {

// What became of each of the last kFrames frames, so a packet that turns up
// after its turn can be told apart (played before: a duplicate; concealed:
// late) and the concealment it caused can be booked under the right cause.
// Threads: one thread only.
class FrameHistory {
public:
    static constexpr int32_t kFrames = 128;

    enum class Fate : uint8_t { Unknown, Played, Lost, Underrun, Late, Skipped };

    FrameHistory() { reset(); }
    void reset();
    void record(int64_t frame, Fate fate);
    // Unknown when the frame was never recorded or is too old.
    Fate fate(int64_t frame) const;

private:
    struct Entry {
        int64_t frame;
        Fate fate;
    };
    Entry& entry(int64_t frame) { return entries_[static_cast<uint64_t>(frame) % kFrames]; }
    const Entry& entry(int64_t frame) const { return entries_[static_cast<uint64_t>(frame) % kFrames]; }

    std::array<Entry, kFrames> entries_{};
};

}  // namespace vexlink
