#include "ClickDetector.h"

#include <cmath>

namespace vexlink::bench {

std::vector<size_t> ClickDetector::find(const int16_t* pcm, size_t size) const {
    std::vector<size_t> clicks;
    bool any = false;
    size_t lastJump = 0;
    for (size_t n = 2; n < size; ++n) {
        const double d2 = static_cast<double>(pcm[n]) - 2.0 * pcm[n - 1] + pcm[n - 2];
        if (std::fabs(d2) <= threshold_) continue;
        // A break shows over up to two samples of the second difference.
        if (!any || n - lastJump > mergeSamples_) clicks.push_back(n - 1);
        any = true;
        lastJump = n;
    }
    return clicks;
}

}  // namespace vexlink::bench
