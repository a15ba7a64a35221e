#pragma once

#include <cstdint>

namespace vexlink {

// Extends 16-bit sequence numbers to 64 bits by their signed distance from
// the newest number seen, so a reordered or repeated packet gets the number
// it had and never moves the numbering of those after it. The first number
// keeps its value (0..65535); later ones may go below it.
// Threads: one thread only.
class SequenceUnwrapper {
public:
    void reset() { any_ = false; }
    bool empty() const { return !any_; }
    int64_t newest() const { return newest_; }
    int64_t unwrap(uint16_t sequence);

private:
    bool any_ = false;
    int64_t newest_ = 0;
};

}  // namespace vexlink
