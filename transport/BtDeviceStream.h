#pragma once

#include <atomic>
#include <cstdint>

#include "transport/ControlStream.h"

namespace vexlink {

// One Bluetooth device: the address in bdaddr_t byte order (as str2ba
// stores it) and a name that nothing reads.
struct BtDeviceInfo {
    uint8_t address[6] = {};
    char name[256] = {};
};

// ControlStream over an RFCOMM link found by SDP. After the handshake the
// receive thread also reads voice through it while the event thread writes
// keep-alives.
class BtDeviceStream final : public ControlStream {
public:
    explicit BtDeviceStream(const BtDeviceInfo& device);
    ~BtDeviceStream() override;

    int32_t open() override;
    void close() override;
    void read(uint8_t* buffer, int32_t length) override;
    void write(const uint8_t* buffer, int32_t length) override;
    void setReadIdleLimit(int32_t ms) override { idleLimitMs_ = ms; }
    void interrupt() override;

    const BtDeviceInfo& device() const { return device_; }

private:
    std::atomic<int> socket_{-1};
    BtDeviceInfo device_;
    int32_t idleLimitMs_ = 0;
};

}  // namespace vexlink
