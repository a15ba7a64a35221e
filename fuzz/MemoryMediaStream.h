#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "media/DatagramMediaStream.h"
#include "transport/SocketErrorException.h"
#include "transport/SocketUtil.h"

namespace vexlink::fuzz {

// The phone's datagrams out of a fixed byte string, served through the same
// buffering as the UDP stream: records of a 16-bit big-endian length and
// that many bytes (fewer when the input ends first), one datagram each. A
// datagram is cut to the free room of the buffer as the socket layer cuts
// it; an empty one fails the read as on a socket; after the last record
// every wait comes back empty.
class MemoryMediaStream final : public DatagramMediaStream {
public:
    MemoryMediaStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}

protected:
    int32_t receiveDatagram(uint8_t* into, int32_t capacity) override {
        if (size_ - offset_ < 2) return 0;
        size_t length = (static_cast<size_t>(data_[offset_]) << 8) | data_[offset_ + 1];
        offset_ += 2;
        if (length > size_ - offset_) length = size_ - offset_;
        const uint8_t* datagram = data_ + offset_;
        offset_ += length;
        if (length == 0) throw SocketErrorException(lastSocketError());
        const size_t kept = length < static_cast<size_t>(capacity) ? length : static_cast<size_t>(capacity);
        std::memcpy(into, datagram, kept);
        return static_cast<int32_t>(kept);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace vexlink::fuzz
