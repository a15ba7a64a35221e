#include "playout/FrameHistory.h"

#include <limits>

namespace vexlink {

void FrameHistory::reset() {
    entries_.fill(Entry{std::numeric_limits<int64_t>::min(), Fate::Unknown});
}

void FrameHistory::record(int64_t frame, Fate fate) {
    entry(frame) = Entry{frame, fate};
}

FrameHistory::Fate FrameHistory::fate(int64_t frame) const {
    const Entry& e = entry(frame);
    return e.frame == frame ? e.fate : Fate::Unknown;
}

}  // namespace vexlink
