#pragma once

#include <atomic>
#include <cstdint>

#include "media/DatagramMediaStream.h"
#include "transport/PeerAddressFilter.h"

namespace vexlink {

// Voice datagrams on a bound dual-stack UDP port (IPv4 only on a host
// without IPv6), served as a byte stream (see DatagramMediaStream). Only
// datagrams whose source address is the phone's are served: any other is
// discarded before anything looks at its bytes, and only counted; it never
// ends, extends or restarts a wait and never makes a read fail. Until the
// phone's address is set, every datagram is foreign.
// open/close/setPhoneAddress run on the event thread, read/reset on the
// receive thread (never overlapping them); interrupt() comes from the event
// thread while a read may be waiting; foreignDatagrams() is read once the
// receive thread has ended.
class WifiMediaStream final : public DatagramMediaStream {
public:
    static constexpr int32_t kReceiveWaitMs = 3000;
    static constexpr int kMinReceiveBuffer = 32768;

    explicit WifiMediaStream(uint32_t port);
    ~WifiMediaStream() override;

    // 0, or -10 with openError() telling why.
    int32_t open() override;
    void close() override;
    void interrupt() override;
    uint32_t foreignDatagrams() const override { return foreignDatagrams_; }

    // The phone: the peer of the connected control socket.
    void setPhoneAddress(const PeerAddressFilter& phone) { phone_ = phone; }
    // errno of the last failed open (EADDRINUSE: the port is taken); 0 after
    // a successful one.
    int openError() const { return openError_; }

    int socketFd() const { return mediaSocket_; }
    // Shorter receive waits for tests.
    void setReceiveWaitMs(int32_t ms) { receiveWaitMs_ = ms; }

protected:
    // The phone's next datagram within one wait of receiveWaitMs, counted
    // from the call: a foreign datagram, or a wake-up that finds nothing,
    // goes on waiting for what is left of it.
    int32_t receiveDatagram(uint8_t* into, int32_t capacity) override;

private:
    std::atomic<int> mediaSocket_{-1};
    uint32_t port_;
    int32_t receiveWaitMs_ = kReceiveWaitMs;
    std::atomic<bool> interrupted_{false};
    PeerAddressFilter phone_;
    uint32_t foreignDatagrams_ = 0;
    int openError_ = 0;
};

}  // namespace vexlink
