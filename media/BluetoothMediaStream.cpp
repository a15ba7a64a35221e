#include "media/BluetoothMediaStream.h"

#include "transport/ControlStream.h"
#include "transport/SocketErrorException.h"
#include "transport/SocketUtil.h"

namespace vexlink {

int32_t BluetoothMediaStream::read(uint8_t* buffer, int32_t count) {
    if (controlStream_ == nullptr) throw SocketErrorException(lastSocketError());
    controlStream_->read(buffer, count);
    return 0;
}

void BluetoothMediaStream::interrupt() {
    if (controlStream_ != nullptr) controlStream_->interrupt();
}

}  // namespace vexlink
