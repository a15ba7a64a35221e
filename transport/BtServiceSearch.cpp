#include "transport/BtServiceSearch.h"

#include <bluetooth/bluetooth.h>
#include <bluetooth/rfcomm.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <sys/socket.h>

#include <cstring>

#include "transport/SocketUtil.h"

namespace vexlink {

namespace {

// Capacity for a record's service name; longer names never match.
constexpr int kServiceNameCapacity = 256;

bool nameMatches(const sdp_record_t* record, const char* name) {
    if (name == nullptr) {
        return false;
    }
    char serviceName[kServiceNameCapacity];
    // Fails for a missing attribute, one that is not text, or text that does
    // not fit; a name from the wire is always NUL-terminated by BlueZ.
    if (sdp_get_string_attr(record, SDP_ATTR_SVCNAME_PRIMARY, serviceName, sizeof serviceName) == -1) {
        return false;
    }
    return std::strcmp(serviceName, name) == 0;
}

// Walks one record's protocol descriptor lists. Each descriptor is a chain of
// data elements: a protocol UUID and that protocol's parameters. For RFCOMM
// the one UINT8 parameter is the server channel.
void takeChannel(const sdp_record_t* record, int& channel) {
    sdp_list_t* protocolSequences = nullptr;
    if (sdp_get_access_protos(record, &protocolSequences) != 0) {
        return;
    }
    for (sdp_list_t* seq = protocolSequences; seq != nullptr; seq = seq->next) {
        auto* descriptors = static_cast<sdp_list_t*>(seq->data);
        for (sdp_list_t* desc = descriptors; desc != nullptr; desc = desc->next) {
            int protocol = 0;
            for (auto* element = static_cast<sdp_data_t*>(desc->data); element != nullptr;
                 element = element->next) {
                switch (element->dtd) {
                    case SDP_UUID16:
                    case SDP_UUID32:
                    case SDP_UUID128:
                        protocol = sdp_uuid_to_proto(&element->val.uuid);
                        break;
                    case SDP_UINT8:
                        if (protocol == RFCOMM_UUID) {
                            channel = static_cast<int8_t>(element->val.uint8);
                        }
                        break;
                    default:
                        break;
                }
            }
        }
        // The inner lists only point into the record's own data elements.
        sdp_list_free(descriptors, nullptr);
    }
    sdp_list_free(protocolSequences, nullptr);
}

}  // namespace

int channelFromRecords(sdp_list_t* records, const char* name, bool nameCheck) {
    int channel = -1;
    for (sdp_list_t* node = records; node != nullptr; node = node->next) {
        auto* record = static_cast<sdp_record_t*>(node->data);
        if (record == nullptr) {
            continue;
        }
        if (!nameCheck || nameMatches(record, name)) {
            takeChannel(record, channel);
        }
        sdp_record_free(record);
    }
    sdp_list_free(records, nullptr);
    return channel;
}

int findRfcommChannel(const uint8_t (&address)[6], const char* name, bool nameCheck, const uint8_t (&uuid)[16]) {
    bdaddr_t anyAddress{};
    bdaddr_t device{};
    std::memcpy(&device, address, sizeof device);
    sdp_session_t* session = sdp_connect(&anyAddress, &device, SDP_RETRY_IF_BUSY);
    if (session == nullptr) {
        return -1;
    }

    uuid_t service;
    sdp_uuid128_create(&service, uuid);
    uint32_t allAttributes = 0x0000FFFF;
    sdp_list_t* searchList = sdp_list_append(nullptr, &service);
    sdp_list_t* attributeList = sdp_list_append(nullptr, &allAttributes);

    // A failed request leaves nothing (or what was parsed before the
    // failure) in the response list; either way the walk decides.
    sdp_list_t* responses = nullptr;
    sdp_service_search_attr_req(session, searchList, SDP_ATTR_REQ_RANGE, attributeList, &responses);

    // Both lists point at locals above; only their nodes are freed.
    sdp_list_free(searchList, nullptr);
    sdp_list_free(attributeList, nullptr);

    const int channel = channelFromRecords(responses, name, nameCheck);
    sdp_close(session);
    return channel;
}

int rfcommConnectChannel(const uint8_t (&address)[6], int channel) {
    // A hostile or broken record may name any 8-bit value; only 1..30 can
    // be connected to, so nothing else reaches the system.
    if (channel < kMinRfcommChannel || channel > kMaxRfcommChannel) {
        return -1;
    }
    const int fd = ::socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    if (fd < 0) {
        return -1;
    }
    sockaddr_rc peer;
    std::memset(&peer, 0, sizeof peer);
    peer.rc_family = AF_BLUETOOTH;
    std::memcpy(&peer.rc_bdaddr, address, sizeof peer.rc_bdaddr);
    peer.rc_channel = static_cast<uint8_t>(channel);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        closeSocket(fd);
        return -1;
    }
    return fd;
}

int rfcommConnect(const uint8_t (&address)[6], const char* name, bool nameCheck, const uint8_t (&uuid)[16]) {
    const int channel = findRfcommChannel(address, name, nameCheck, uuid);
    if (channel == -1) {
        return -1;
    }
    return rfcommConnectChannel(address, channel);
}

int connectByUuid(const BtDeviceInfo& device, const uint8_t (&uuid)[16], const RfcommConnector& connect) {
    return connect(device.address, nullptr, false, uuid);
}

int connectByUuid(const BtDeviceInfo& device, const uint8_t (&uuid)[16]) {
    return rfcommConnect(device.address, nullptr, false, uuid);
}

int connectByName(const BtDeviceInfo& device, const char* name, const uint8_t (&uuid)[16],
                  const RfcommConnector& connect) {
    return connect(device.address, name, true, uuid);
}

int connectByName(const BtDeviceInfo& device, const char* name, const uint8_t (&uuid)[16]) {
    return rfcommConnect(device.address, name, true, uuid);
}

}  // namespace vexlink
