#include "playout/SequenceUnwrapper.h"

namespace vexlink {

int64_t SequenceUnwrapper::unwrap(uint16_t sequence) {
    if (!any_) {
        any_ = true;
        newest_ = sequence;
        return newest_;
    }
    // Half the number space either way; exactly half counts as behind.
    const auto distance = static_cast<int16_t>(static_cast<uint16_t>(sequence - static_cast<uint16_t>(newest_)));
    const int64_t extended = newest_ + distance;
    if (extended > newest_) newest_ = extended;
    return extended;
}

}  // namespace vexlink
