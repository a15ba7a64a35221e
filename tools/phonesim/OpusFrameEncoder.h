#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct OpusEncoder;

namespace vexlink::phonesim {

enum class OpusApplication { Voip, Audio };

// libopus encoder for 48 kHz mono 20 ms frames. One per media stream; used by
// one thread at a time (the encoder carries state from frame to frame).
// With fecLossPercent above 0 the packets carry in-band FEC (a coarse copy of
// the previous frame, which libopus adds to frames its voice detector calls
// active), tuned for that expected loss.
class OpusFrameEncoder {
public:
    OpusFrameEncoder(OpusApplication application, int32_t bitrate, int32_t complexity, int32_t fecLossPercent = 0);
    ~OpusFrameEncoder();
    OpusFrameEncoder(const OpusFrameEncoder&) = delete;
    OpusFrameEncoder& operator=(const OpusFrameEncoder&) = delete;

    bool ok() const { return encoder_ != nullptr; }
    // Encodes one frame of 960 samples; the packet's size, or a negative
    // libopus error.
    int32_t encode(const int16_t* frame, uint8_t* out, size_t capacity);

private:
    struct Deleter {
        void operator()(OpusEncoder* e) const;
    };
    std::unique_ptr<OpusEncoder, Deleter> encoder_;
};

}  // namespace vexlink::phonesim
