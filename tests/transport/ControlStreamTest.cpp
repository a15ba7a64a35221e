// Big-endian field operations and skipBytes over an in-memory stream that
// records every read and write call.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "transport/ControlStream.h"

namespace vexlink {
namespace {

class RecordingStream : public ControlStream {
public:
    explicit RecordingStream(std::vector<uint8_t> input = {}) : input_(std::move(input)) {}

    int32_t open() override { return 0; }
    void close() override {}
    void read(uint8_t* buffer, int32_t length) override {
        readCalls.push_back(length);
        if (length <= 0) return;
        if (generated_ > 0) {
            // Endless source: bytes are produced on demand, never stored.
            std::memset(buffer, 0xAB, static_cast<size_t>(length));
            generated_ -= length;
            if (generated_ < 0) throw SocketErrorException(0);
            return;
        }
        if (position_ + static_cast<size_t>(length) > input_.size()) throw SocketErrorException(0);
        std::memcpy(buffer, input_.data() + position_, static_cast<size_t>(length));
        position_ += static_cast<size_t>(length);
    }
    void write(const uint8_t* buffer, int32_t length) override {
        writeCalls.push_back(length);
        if (length > 0) output.insert(output.end(), buffer, buffer + length);
    }

    void produce(long long count) { generated_ = count; }
    size_t consumed() const { return position_; }
    long long generatedLeft() const { return generated_; }

    std::vector<int32_t> readCalls;
    std::vector<int32_t> writeCalls;
    std::vector<uint8_t> output;

private:
    std::vector<uint8_t> input_;
    size_t position_ = 0;
    long long generated_ = 0;
};

TEST(ControlStreamFields, ReadsAreBigEndianInOneCallOfFullWidth) {
    RecordingStream s({0x00, 0x00, 0x00, 0x06, 0xFF, 0xFF, 0xFF, 0xFE, 0x1F, 0xBD, 0x80});
    EXPECT_EQ(readU32(s), 6u);
    EXPECT_EQ(readU32(s), 4294967294u);
    EXPECT_EQ(readU16(s), 8125u);
    EXPECT_EQ(readU8(s), 0x80u);
    EXPECT_EQ(s.readCalls, (std::vector<int32_t>{4, 4, 2, 1}));
}

TEST(ControlStreamFields, WritesAreBigEndianInOneCallOfFullWidth) {
    RecordingStream s;
    writeU32(s, 6);
    writeU16(s, 8125);
    writeU8(s, 511);
    writeU32(s, 0xC0FFEE01u);
    EXPECT_EQ(s.output, (std::vector<uint8_t>{0, 0, 0, 6, 0x1F, 0xBD, 0xFF, 0xC0, 0xFF, 0xEE, 0x01}));
    EXPECT_EQ(s.writeCalls, (std::vector<int32_t>{4, 2, 1, 4}));
}

TEST(ControlStreamFields, ExceptionsFromTheStreamPassThrough) {
    RecordingStream s({0x01, 0x02});
    try {
        readU32(s);
        FAIL() << "no exception";
    } catch (const SocketErrorException& e) {
        EXPECT_EQ(e.error(), 0);
    }
}

TEST(SkipBytes, NothingForZeroOrNegativeCounts) {
    RecordingStream s({0x42});
    skipBytes(s, 0);
    skipBytes(s, -1);
    skipBytes(s, INT32_MIN);
    EXPECT_TRUE(s.readCalls.empty());
    EXPECT_EQ(readU8(s), 0x42u);
}

TEST(SkipBytes, ConsumesExactlyTheCountAndNoMore) {
    std::vector<uint8_t> input(10000, 0x11);
    input.push_back(0x99);
    RecordingStream s(input);
    skipBytes(s, 10000);
    EXPECT_EQ(s.consumed(), 10000u);
    EXPECT_EQ(readU8(s), 0x99u);
}

TEST(SkipBytes, HugeCountGoesThroughASmallBoundedBuffer) {
    // Two gigabytes minus one: a peer's length field, never an allocation.
    RecordingStream s;
    s.produce(INT32_MAX);
    skipBytes(s, INT32_MAX);
    EXPECT_EQ(s.generatedLeft(), 0);
    int32_t largest = 0;
    for (int32_t n : s.readCalls) largest = n > largest ? n : largest;
    EXPECT_GT(largest, 0);
    EXPECT_LE(largest, 65536);
}

}  // namespace
}  // namespace vexlink
