#pragma once

#include "media/MediaStream.h"

namespace vexlink {

class ControlStream;

// Voice read straight from the connection's Bluetooth control stream, which
// it borrows: close() and the destructor never touch it, because the owner
// destroys the control stream first.
class BluetoothMediaStream final : public MediaStream {
public:
    explicit BluetoothMediaStream(ControlStream* controlStream) : controlStream_(controlStream) {}

    int32_t read(uint8_t* buffer, int32_t count) override;
    void interrupt() override;

private:
    ControlStream* controlStream_;
};

}  // namespace vexlink
