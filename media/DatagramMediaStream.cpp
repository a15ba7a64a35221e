#include "media/DatagramMediaStream.h"

#include <cstring>

namespace vexlink {

int32_t DatagramMediaStream::read(uint8_t* buffer, int32_t count) {
    if (count == 0) return 0;
    if (count < 0 || count > kMaxPacketPayload) {
        // No packet can be that long: treat it as a broken one.
        bufferedCount_ = 0;
        return -30;
    }
    if (bufferedCount_ >= count) {
        take(buffer, count);
        return 0;
    }
    if (bufferedCount_ > 0) {
        // A packet never continues in the next datagram: what is left of
        // this one is unusable.
        bufferedCount_ = 0;
        return -30;
    }

    while (bufferedCount_ < count) {
        const int32_t capacity = kMaxPacketPayload - bufferedCount_;
        const int32_t n = receiveDatagram(datagramBuffer_ + bufferedCount_, capacity);
        if (n <= 0) return -20;  // what earlier passes appended stays buffered
        bufferedCount_ += n < capacity ? n : capacity;
    }
    take(buffer, count);
    return 0;
}

void DatagramMediaStream::take(uint8_t* destination, int32_t count) {
    std::memcpy(destination, datagramBuffer_, static_cast<size_t>(count));
    bufferedCount_ -= count;
    if (bufferedCount_ > 0) std::memmove(datagramBuffer_, datagramBuffer_ + count, static_cast<size_t>(bufferedCount_));
}

}  // namespace vexlink
