#include "control/ControllerTypes.h"

namespace vexlink {

int32_t translateConnectionResult(int32_t connectionResult) {
    switch (connectionResult) {
        case 0: return kResultOk;
        case -1: return kResultBadTransport;
        case -10: return kResultMismatch;
        case -20: return kResultCannotStart;
        case -30: return kResultConnectFailed;
        case -31: return kResultMediaPortFailed;
        default: return connectionResult;  // no other value reaches the translation
    }
}

}  // namespace vexlink
