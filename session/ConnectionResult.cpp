#include "session/ConnectionResult.h"

namespace vexlink {

int32_t statusToConnectionResult(uint8_t status) {
    switch (status) {
        case 0: return kConnOk;
        case 1:
        case 10:
        case 12:
        case 13: return kConnMismatch;
        default: return kConnRefused;
    }
}

}  // namespace vexlink
