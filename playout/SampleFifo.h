#pragma once

#include <cstdint>
#include <memory>

namespace vexlink {

// Decoded samples addressed by their media position (sample index of the
// stream), kept contiguous so a filter can read across frame boundaries:
// frames are appended at end(), what the reader has passed is discarded
// from the front, and the live part is moved back to the start of the
// buffer when the end would run out. After reset() a stretch of silence
// lies before the new position, so a filter reading behind it sees zeros.
// All memory is allocated by the constructor.
// Threads: one thread only.
class SampleFifo {
public:
    static constexpr int32_t kCapacity = 8192;
    static constexpr int32_t kSilentHistory = 32;

    SampleFifo();
    ~SampleFifo();
    SampleFifo(const SampleFifo&) = delete;
    SampleFifo& operator=(const SampleFifo&) = delete;

    void reset(int64_t position);
    int64_t begin() const { return begin_; }
    int64_t end() const { return end_; }
    // Room for `count` samples at end(), which moves on by `count`. The
    // oldest samples go if the live part would not fit otherwise.
    int16_t* append(int32_t count);
    // begin() <= position <= end().
    const int16_t* at(int64_t position) const { return data_.get() + head_ + (position - begin_); }
    void discardBefore(int64_t position);

private:
    std::unique_ptr<int16_t[]> data_;
    int32_t head_ = 0;  // index of begin_ in data_
    int64_t begin_ = 0;
    int64_t end_ = 0;
};

}  // namespace vexlink
