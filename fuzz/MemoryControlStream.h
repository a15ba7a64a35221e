#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "transport/ControlStream.h"
#include "transport/SocketUtil.h"

namespace vexlink::fuzz {

// A control stream whose peer is a fixed byte string: reads take from it and
// throw once it runs out, as a closed connection does; writes go nowhere.
class MemoryControlStream final : public ControlStream {
public:
    MemoryControlStream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    ~MemoryControlStream() override { close(); }

    int32_t open() override { return 0; }
    void close() override {}
    void read(uint8_t* buffer, int32_t length) override {
        if (length <= 0) return;
        if (static_cast<size_t>(length) > size_ - offset_) {
            offset_ = size_;
            throw SocketErrorException(lastSocketError());
        }
        std::memcpy(buffer, data_ + offset_, static_cast<size_t>(length));
        offset_ += static_cast<size_t>(length);
    }
    void write(const uint8_t*, int32_t) override {}

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace vexlink::fuzz
