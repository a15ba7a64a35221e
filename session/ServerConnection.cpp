#include "session/ServerConnection.h"

#include <cstring>

#include "media/BluetoothMediaStream.h"
#include "media/MediaStream.h"
#include "media/PacketReader.h"
#include "media/WifiMediaStream.h"
#include "platform/PlatformInfo.h"
#include "session/ClientVersion.h"
#include "settings/Settings.h"
#include "transport/BtDeviceStream.h"
#include "transport/PeerAddressFilter.h"
#include "transport/SocketUtil.h"
#include "transport/WinSockStream.h"

namespace vexlink {

namespace {

// Protocol version this client announces in its Hello, before its own.
constexpr uint8_t kProtocolVersion = 4;

constexpr uint32_t kHelloBodyLength = 6;
constexpr uint32_t kSetupBodyLength = 6;

}  // namespace

ServerConnection::ServerConnection() = default;

ServerConnection::~ServerConnection() { close(); }

int32_t ServerConnection::connect() {
    close();
    const uint32_t type = Settings::getTransportType();
    switch (type) {
        case kTransportWifi:
        case kTransportSoftAp: {
            const char* address = type == kTransportWifi ? Settings::getWifiServerAddr() : Settings::getSoftApAddr();
            mediaPort_ = Settings::getMediaPort();
            control_ = std::make_unique<WinSockStream>(address, Settings::getControlPort());
            media_ = std::make_unique<WifiMediaStream>(static_cast<uint32_t>(mediaPort_));
            break;
        }
        case kTransportBluetooth: {
            BtDeviceInfo device;
            Settings::getBtAddress(device.address);
            static constexpr char kUnknownName[] = "<unknown>";
            std::memcpy(device.name, kUnknownName, sizeof kUnknownName);
            mediaPort_ = 0;
            auto stream = std::make_unique<BtDeviceStream>(device);
            media_ = std::make_unique<BluetoothMediaStream>(stream.get());
            control_ = std::move(stream);
            break;
        }
        default:
            return kConnBadTransport;
    }

    return openStreams(type != kTransportBluetooth);
}

int32_t ServerConnection::openStreams(bool withDeadline) {
    mediaOpenError_ = 0;
    if (!control_ || !media_) return kConnControlOpenFailed;
    control_->setWaitLimits(WaitLimits::within(withDeadline ? connectLimitMs_ : 0, cancel_));
    const int32_t opened = control_->open();
    control_->setWaitLimits({});
    if (opened != 0) return kConnControlOpenFailed;
    auto* tcp = dynamic_cast<WinSockStream*>(control_.get());
    auto* udp = dynamic_cast<WifiMediaStream*>(media_.get());
    if (tcp != nullptr && udp != nullptr) {
        // The phone is whoever answered on the control connection, however
        // the user named it; voice from any other address is not its.
        sockaddr_storage phone;
        socklen_t phoneLength = 0;
        if (peerAddress(tcp->socketFd(), phone, phoneLength)) {
            udp->setPhoneAddress(PeerAddressFilter(reinterpret_cast<const sockaddr*>(&phone), phoneLength));
        }
    }
    if (media_->open() != 0) {
        if (udp != nullptr) mediaOpenError_ = udp->openError();
        control_->close();
        return kConnMediaOpenFailed;
    }
    return kConnOk;
}

void ServerConnection::setLimitsMs(int32_t connectMs, int32_t handshakeMs) {
    if (connectMs > 0) connectLimitMs_ = connectMs;
    if (handshakeMs > 0) handshakeLimitMs_ = handshakeMs;
}

void ServerConnection::beginHandshake() { control().setWaitLimits(WaitLimits::within(handshakeLimitMs_, cancel_)); }

void ServerConnection::endHandshake() {
    if (control_) control_->setWaitLimits({});
}

void ServerConnection::close() {
    // Control stream first: a Bluetooth media stream only borrows it and
    // never touches it in its own close or destructor.
    if (control_) {
        control_->close();
        control_.reset();
    }
    if (media_) {
        media_->close();
        media_.reset();
    }
}

ControlStream& ServerConnection::control() {
    if (!control_) throw SocketErrorException(lastSocketError());
    return *control_;
}

MediaStream& ServerConnection::media() {
    if (!media_) throw SocketErrorException(lastSocketError());
    return *media_;
}

int32_t ServerConnection::sendHello(int32_t& serverVersion) {
    ControlStream& stream = control();
    int osMajor = 0;
    int osMinor = 0;
    getOsVersion(&osMajor, &osMinor);
    writeU8(stream, kMsgHello);
    writeU32(stream, kHelloBodyLength);
    writeU8(stream, kProtocolVersion);
    writeU8(stream, kClientVersionMajor);
    writeU8(stream, kClientVersionMinor);
    writeU8(stream, static_cast<uint32_t>(getOsType()));
    writeU8(stream, static_cast<uint32_t>(osMajor));
    writeU8(stream, static_cast<uint32_t>(osMinor));
    return readReply(kMsgHello, &serverVersion);
}

int32_t ServerConnection::sendSetup(uint8_t first, uint8_t second) {
    ControlStream& stream = control();
    writeU8(stream, kMsgSetup);
    writeU32(stream, kSetupBodyLength);
    writeU8(stream, first);
    writeU8(stream, second);
    writeU32(stream, static_cast<uint32_t>(mediaPort_));
    return readReply(kMsgSetup, nullptr);
}

int32_t ServerConnection::sendStart() {
    ControlStream& stream = control();
    writeU8(stream, kMsgStart);
    writeU32(stream, 0);
    return readReply(kMsgStart, nullptr);
}

int32_t ServerConnection::sendCommand104() {
    ControlStream& stream = control();
    writeU8(stream, kMsgCommand104);
    writeU32(stream, 0);
    return readReply(kMsgCommand104, nullptr);
}

void ServerConnection::sendKeepAlive() {
    ControlStream& stream = control();
    writeU8(stream, kMsgKeepAlive);
    writeU32(stream, 0);
}

int32_t ServerConnection::readReply(uint8_t expectedType, int32_t* serverVersion) {
    ControlStream& stream = control();
    const uint8_t type = readU8(stream);
    const uint32_t bodyLength = readU32(stream);
    if (type != expectedType) return kConnMismatch;

    const uint8_t status = readU8(stream);
    uint32_t consumed = 1;
    if (serverVersion != nullptr) {
        *serverVersion = readU8(stream);
        consumed = 2;
    }
    // Wraps like the peer's 32-bit arithmetic: a length below what was read
    // gives a negative count, which skips nothing.
    skipBytes(stream, static_cast<int32_t>(bodyLength - consumed));
    return statusToConnectionResult(status);
}

int32_t ServerConnection::readPacketV2(VoiceDecoder& decoder, VoicePacket& packet) {
    return vexlink::readPacketV2(media(), decoder, packet);
}

int32_t ServerConnection::readPacketV3(VoiceDecoder& decoder, VoicePacket& packet) {
    return vexlink::readPacketV3(media(), decoder, packet);
}

int32_t ServerConnection::readPacketV4(VoiceDecoder& decoder, VoicePacket& packet) {
    return vexlink::readPacketV4(media(), decoder, packet);
}

void ServerConnection::interruptReads() {
    if (media_) media_->interrupt();
}

void ServerConnection::adoptStreams(std::unique_ptr<ControlStream> control, std::unique_ptr<MediaStream> media,
                                    int32_t mediaPort) {
    close();
    control_ = std::move(control);
    media_ = std::move(media);
    mediaPort_ = mediaPort;
}

}  // namespace vexlink
