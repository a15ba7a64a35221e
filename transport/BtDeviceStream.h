#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "transport/ControlStream.h"

namespace vexlink {

// One Bluetooth device: the address in bdaddr_t byte order (as str2ba
// stores it) and a name that nothing reads.
struct BtDeviceInfo {
    uint8_t address[6] = {};
    char name[256] = {};
};

// The search-and-connect step behind BtDeviceStream::open: given the device
// address, a service name (or null), whether that name must match, and the
// 16 bytes of the service UUID, returns a connected RFCOMM descriptor or -1.
// The default is rfcommConnect (transport/BtServiceSearch.h).
using RfcommConnector = std::function<int(const uint8_t (&address)[6], const char* name, bool nameCheck,
                                          const uint8_t (&uuid)[16])>;

// ControlStream over an RFCOMM link found by SDP. After the handshake the
// receive thread also reads voice through it while the event thread writes
// keep-alives.
//
// Threads: the event thread calls open, write, setWaitLimits, interrupt and
// close; read runs on the event thread during the handshake and on the
// receive thread afterwards. close (and the destructor) run only after the
// receive thread has been joined. open() runs the searches and the connect
// on a helper thread (see AbandonableCall): the event thread waits for it
// until the wait limits end the wait, and an abandoned helper closes the
// descriptor it may still get.
//
// The descriptor is released only by close(): a failed write or interrupt()
// shuts the link down (so a read waiting on another thread wakes and throws)
// but keeps the descriptor number, so that no read can ever wait on a number
// the system has handed to something else in the meantime.
class BtDeviceStream final : public ControlStream {
public:
    explicit BtDeviceStream(const BtDeviceInfo& device);
    ~BtDeviceStream() override;
    BtDeviceStream(const BtDeviceStream&) = delete;
    BtDeviceStream& operator=(const BtDeviceStream&) = delete;

    // Searches for the mic service UUID first, then for the Serial Port UUID
    // named "Vexmor"; 0 once connected, -10 when neither leads to a link or
    // the wait limits ended the wait.
    int32_t open() override;
    void close() override;
    void read(uint8_t* buffer, int32_t length) override;
    // A failed send shuts the link down and the stream counts as closed from
    // then on: this and every later read or write throws.
    void write(const uint8_t* buffer, int32_t length) override;
    void setWaitLimits(const WaitLimits& limits) override { limits_ = limits; }
    void interrupt() override;

    const BtDeviceInfo& device() const { return device_; }
    // True between a successful open and close, unless the link was shut
    // down by a failed write or interrupt().
    bool isOpen() const { return socket_ >= 0 && !linkDown_; }

    // Seams for tests: replace the SDP search and RFCOMM connect of open()
    // (called on the helper thread), or take over an already connected
    // stream socket (the stream owns it).
    void setConnector(RfcommConnector connector) { connector_ = std::move(connector); }
    void adoptSocket(int fd);

    // Length of one wait for data; a silent link is re-checked this often.
    static constexpr int32_t kReadSliceMs = 5000;

private:
    void shutDownLink();

    std::atomic<int> socket_{-1};
    BtDeviceInfo device_;
    std::atomic<bool> linkDown_{false};
    // Written while no other thread reads the stream (before the receive
    // thread exists).
    WaitLimits limits_;
    RfcommConnector connector_;
};

}  // namespace vexlink
