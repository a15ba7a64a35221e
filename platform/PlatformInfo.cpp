#include "platform/PlatformInfo.h"

namespace vexlink {

int getOsType() { return 2; }

void getOsVersion(int* major, int* minor) {
    if (major != nullptr) *major = 0;
    if (minor != nullptr) *minor = 0;
}

void getTimerPeriodRange(int* minMs, int* maxMs) {
    if (minMs != nullptr) *minMs = 1;
    if (maxMs != nullptr) *maxMs = 1;
}

}  // namespace vexlink
