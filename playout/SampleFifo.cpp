#include "playout/SampleFifo.h"

#include <algorithm>
#include <cstring>

namespace vexlink {

SampleFifo::SampleFifo() : data_(std::make_unique<int16_t[]>(kCapacity)) {
    reset(0);
}

SampleFifo::~SampleFifo() = default;

void SampleFifo::reset(int64_t position) {
    std::memset(data_.get(), 0, sizeof(int16_t) * kSilentHistory);
    head_ = 0;
    begin_ = position - kSilentHistory;
    end_ = position;
}

int16_t* SampleFifo::append(int32_t count) {
    count = std::clamp(count, int32_t{0}, kCapacity);
    int64_t live = end_ - begin_;
    if (live + count > kCapacity) {  // never in use: the reader keeps the live part short
        discardBefore(end_ + count - kCapacity);
        live = end_ - begin_;
    }
    if (head_ + live + count > kCapacity) {
        std::memmove(data_.get(), data_.get() + head_, sizeof(int16_t) * static_cast<size_t>(live));
        head_ = 0;
    }
    int16_t* room = data_.get() + head_ + live;
    end_ += count;
    return room;
}

void SampleFifo::discardBefore(int64_t position) {
    position = std::min(position, end_);
    if (position <= begin_) return;
    head_ += static_cast<int32_t>(position - begin_);
    begin_ = position;
}

}  // namespace vexlink
