#pragma once

#include <cstdint>

#include "transport/BtDeviceStream.h"

// BlueZ's list type (bluetooth/sdp.h), declared the same way here so that
// users of this header need not pull in the BlueZ headers.
typedef struct _sdp_list sdp_list_t;

namespace vexlink {

// The phone server's own service class, searched for first.
inline constexpr uint8_t MicServiceUuid[16] = {0x40, 0xF1, 0xF7, 0x54, 0x0B, 0x2F, 0x4F, 0xCE,
                                               0x8B, 0x63, 0x7C, 0x94, 0xA8, 0x06, 0xA1, 0x21};
// The Serial Port Profile (0x1101 on the Bluetooth base UUID), searched for
// second and accepted only under the name below.
inline constexpr uint8_t SerialPortUuid[16] = {0x00, 0x00, 0x11, 0x01, 0x00, 0x00, 0x10, 0x00,
                                               0x80, 0x00, 0x00, 0x80, 0x5F, 0x9B, 0x34, 0xFB};
inline constexpr char SerialServiceName[] = "Vexmor";

// RFCOMM server channels are numbered 1 to 30.
inline constexpr int kMinRfcommChannel = 1;
inline constexpr int kMaxRfcommChannel = 30;

// Connected RFCOMM descriptor for any record of the device matching `uuid`,
// or -1.
int connectByUuid(const BtDeviceInfo& device, const uint8_t (&uuid)[16]);
int connectByUuid(const BtDeviceInfo& device, const uint8_t (&uuid)[16], const RfcommConnector& connect);

// Connected RFCOMM descriptor for a record of the device matching `uuid`
// whose primary service name equals `name`, or -1.
int connectByName(const BtDeviceInfo& device, const char* name, const uint8_t (&uuid)[16]);
int connectByName(const BtDeviceInfo& device, const char* name, const uint8_t (&uuid)[16],
                  const RfcommConnector& connect);

// SDP search, then a blocking RFCOMM connect to the channel found.
// Connected descriptor or -1. `name` may be null when nameCheck is false.
int rfcommConnect(const uint8_t (&address)[6], const char* name, bool nameCheck, const uint8_t (&uuid)[16]);

// Blocking RFCOMM connect to one channel of the device; descriptor or -1
// (also for a channel outside 1..30, or when the system has no Bluetooth).
int rfcommConnectChannel(const uint8_t (&address)[6], int channel);

// One SDP session with the device: searches `uuid` with all attributes and
// returns the RFCOMM channel of the last accepted record, or -1.
int findRfcommChannel(const uint8_t (&address)[6], const char* name, bool nameCheck, const uint8_t (&uuid)[16]);

// The record walk of findRfcommChannel over a search response: a list of
// sdp_record_t*. With nameCheck, a record is accepted only when its primary
// service name (attribute 0x0100) equals `name` (a null name accepts none).
// In each accepted record's protocol descriptor lists, a UINT8 element that
// follows the RFCOMM protocol UUID is the channel, taken as a signed 8-bit
// number; the last one found wins. -1 when there is none.
// Consumes the list: every record and every list node is freed.
int channelFromRecords(sdp_list_t* records, const char* name, bool nameCheck);

}  // namespace vexlink
