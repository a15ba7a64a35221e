// The SDP record walk and the Bluetooth connect helpers, on records built in
// memory with libbluetooth and on raw record bytes parsed by libbluetooth's
// own parser (the way search responses arrive). This machine has no
// Bluetooth in its kernel, so everything that would need a radio is checked
// only for failing cleanly.
#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "transport/BtServiceSearch.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace vexlink {
namespace {

// One data element of a protocol descriptor: a protocol UUID or a UINT8
// parameter.
struct Element {
    bool isUuid;
    uint16_t value;
};
Element proto(uint16_t uuid16) { return {true, uuid16}; }
Element u8(uint8_t v) { return {false, v}; }

using Descriptor = std::vector<Element>;     // e.g. {RFCOMM, channel}
using Sequence = std::vector<Descriptor>;    // one protocol stack
const Descriptor kL2cap = {{true, L2CAP_UUID}};

// Builds a record whose protocol descriptor list holds the given protocol
// stacks, with an optional primary service name.
sdp_record_t* makeRecord(const std::vector<Sequence>& stacks, const char* name) {
    sdp_record_t* record = sdp_record_alloc();
    std::deque<uuid_t> uuids;  // stable addresses while the lists point here
    std::vector<sdp_data_t*> params;
    std::vector<sdp_list_t*> lists;

    sdp_list_t* access = nullptr;
    for (const Sequence& stack : stacks) {
        sdp_list_t* sequence = nullptr;
        for (const Descriptor& descriptor : stack) {
            sdp_list_t* elements = nullptr;
            for (const Element& e : descriptor) {
                if (e.isUuid) {
                    uuids.emplace_back();
                    sdp_uuid16_create(&uuids.back(), e.value);
                    elements = sdp_list_append(elements, &uuids.back());
                } else {
                    const uint8_t v = static_cast<uint8_t>(e.value);
                    params.push_back(sdp_data_alloc(SDP_UINT8, &v));
                    elements = sdp_list_append(elements, params.back());
                }
            }
            lists.push_back(elements);
            sequence = sdp_list_append(sequence, elements);
        }
        lists.push_back(sequence);
        access = sdp_list_append(access, sequence);
    }
    if (access != nullptr) {
        sdp_set_access_protos(record, access);  // copies everything it needs
    }
    sdp_list_free(access, nullptr);
    for (sdp_list_t* l : lists) sdp_list_free(l, nullptr);
    for (sdp_data_t* d : params) sdp_data_free(d);

    if (name != nullptr) {
        // This libbluetooth stores text given to sdp_set_info_attr without a
        // terminating NUL, while text parsed from the wire always has one;
        // store the name the way a received record holds it.
        sdp_data_t* text = sdp_data_alloc_with_length(SDP_TEXT_STR8, name, std::strlen(name) + 1);
        sdp_attr_add(record, SDP_ATTR_SVCNAME_PRIMARY, text);
    }
    return record;
}

sdp_list_t* listOf(std::initializer_list<sdp_record_t*> records) {
    sdp_list_t* list = nullptr;
    for (sdp_record_t* r : records) list = sdp_list_append(list, r);
    return list;
}

const Sequence kL2capRfcomm5 = {kL2cap, {proto(RFCOMM_UUID), u8(5)}};

TEST(BtServiceSearch, L2capThenRfcommChannelFiveGivesFive) {
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({kL2capRfcomm5}, nullptr)}), nullptr, false), 5);
}

TEST(BtServiceSearch, ParameterOfL2capAloneIsNotAChannel) {
    // An L2CAP PSM-like parameter, and no RFCOMM descriptor at all.
    const Sequence l2capOnly = {{proto(L2CAP_UUID), u8(7)}};
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({l2capOnly}, nullptr)}), nullptr, false), -1);
    // The protocol resets for each descriptor: a UINT8 in the descriptor
    // after RFCOMM's belongs to whatever protocol that descriptor names.
    const Sequence rfcommThenObex = {kL2cap, {proto(RFCOMM_UUID), u8(3)}, {proto(OBEX_UUID), u8(9)}};
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({rfcommThenObex}, nullptr)}), nullptr, false), 3);
}

TEST(BtServiceSearch, NameCheckPassesOverOtherNamesAndUnnamedRecords) {
    const Sequence rfcomm7 = {kL2cap, {proto(RFCOMM_UUID), u8(7)}};
    const Sequence rfcomm9 = {kL2cap, {proto(RFCOMM_UUID), u8(9)}};
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({rfcomm7}, "Vexmor2"), makeRecord({rfcomm9}, nullptr)}),
                                 SerialServiceName, true),
              -1);
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({rfcomm7}, "Other"), makeRecord({kL2capRfcomm5}, "Vexmor"),
                                         makeRecord({rfcomm9}, nullptr)}),
                                 SerialServiceName, true),
              5);
    // Names are compared exactly.
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({kL2capRfcomm5}, "vexmor")}), SerialServiceName, true), -1);
    // A name check without a name accepts nothing.
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({kL2capRfcomm5}, "Vexmor")}), nullptr, true), -1);
}

TEST(BtServiceSearch, WithoutNameCheckAnyNameIsAccepted) {
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({kL2capRfcomm5}, "Anything")}), SerialServiceName, false),
              5);
}

TEST(BtServiceSearch, LastAcceptedRecordWins) {
    const Sequence rfcomm7 = {kL2cap, {proto(RFCOMM_UUID), u8(7)}};
    const Sequence rfcomm12 = {kL2cap, {proto(RFCOMM_UUID), u8(12)}};
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({rfcomm7}, nullptr), makeRecord({kL2capRfcomm5}, nullptr),
                                         makeRecord({rfcomm12}, nullptr)}),
                                 nullptr, false),
              12);
    // A later record without a channel does not undo an earlier one.
    const Sequence l2capOnly = {kL2cap};
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({kL2capRfcomm5}, nullptr), makeRecord({l2capOnly}, nullptr),
                                         makeRecord({}, nullptr)}),
                                 nullptr, false),
              5);
}

TEST(BtServiceSearch, NoRecordsGiveMinusOne) {
    EXPECT_EQ(channelFromRecords(nullptr, nullptr, false), -1);
    EXPECT_EQ(channelFromRecords(nullptr, SerialServiceName, true), -1);
    // A record without any protocol descriptor list.
    EXPECT_EQ(channelFromRecords(listOf({makeRecord({}, "Vexmor")}), SerialServiceName, true), -1);
}

// Protocol descriptor list L2CAP, then RFCOMM with the given channel byte.
std::vector<uint8_t> l2capRfcomm(uint8_t channel) {
    return {0x35, 0x0C,                                   // sequence of two descriptors
            0x35, 0x03, 0x19, 0x01, 0x00,                 //   {L2CAP}
            0x35, 0x05, 0x19, 0x00, 0x03, 0x08, channel}; //   {RFCOMM, UINT8 channel}
}

// A record's attribute list as it travels in a search response: service
// class Serial Port, the given protocol descriptor list, and the given name
// (empty: no name attribute).
std::vector<uint8_t> wireRecord(const std::vector<uint8_t>& protocols, const std::string& name) {
    std::vector<uint8_t> pdu = {
        0x35, 0x00,                                      // sequence, length below
        0x09, 0x00, 0x01, 0x35, 0x03, 0x19, 0x11, 0x01,  // 0x0001: {UUID16 0x1101}
        0x09, 0x00, 0x04,                                // 0x0004:
    };
    for (uint8_t b : protocols) pdu.push_back(b);
    if (!name.empty()) {
        for (uint8_t b : {0x09, 0x01, 0x00, 0x25}) pdu.push_back(b);  // 0x0100: TEXT8
        pdu.push_back(static_cast<uint8_t>(name.size()));
        for (char c : name) pdu.push_back(static_cast<uint8_t>(c));
    }
    pdu[1] = static_cast<uint8_t>(pdu.size() - 2);
    return pdu;
}
std::vector<uint8_t> wireRecord(uint8_t channel, const std::string& name) {
    return wireRecord(l2capRfcomm(channel), name);
}

sdp_record_t* parse(const std::vector<uint8_t>& pdu) {
    int scanned = 0;
    sdp_record_t* record = sdp_extract_pdu(pdu.data(), static_cast<int>(pdu.size()), &scanned);
    EXPECT_NE(record, nullptr);
    return record;
}

TEST(BtServiceSearch, RecordsParsedFromTheWire) {
    EXPECT_EQ(channelFromRecords(listOf({parse(wireRecord(5, "Vexmor"))}), SerialServiceName, true), 5);
    EXPECT_EQ(channelFromRecords(listOf({parse(wireRecord(5, "Vexmo"))}), SerialServiceName, true), -1);
    EXPECT_EQ(channelFromRecords(listOf({parse(wireRecord(5, ""))}), SerialServiceName, true), -1);
    EXPECT_EQ(channelFromRecords(listOf({parse(wireRecord(22, ""))}), nullptr, false), 22);
}

// Several protocol stacks in one record. libbluetooth's builder chains the
// second stack behind the first attribute value, where sdp_get_access_protos
// finds it but sdp_record_free does not; that leak is the library's, so the
// leak checker is told to overlook it.
TEST(BtServiceSearch, EveryProtocolStackIsWalked) {
    const Sequence l2capOnly = {kL2cap};
    sdp_record_t* record = makeRecord({l2capOnly, kL2capRfcomm5}, "Vexmor");
#if defined(__SANITIZE_ADDRESS__)
    const sdp_data_t* first = sdp_data_get(record, SDP_ATTR_PROTO_DESC_LIST);
    ASSERT_NE(first, nullptr);
    __lsan_ignore_object(first->next);
#endif
    EXPECT_EQ(channelFromRecords(listOf({record}), SerialServiceName, true), 5);
}

TEST(BtServiceSearch, ChannelByteIsSignedAndOutOfRangeChannelsAreNotConnected) {
    // 0xFF reads as -1, the same as "no channel".
    EXPECT_EQ(channelFromRecords(listOf({parse(wireRecord(0xFF, ""))}), nullptr, false), -1);
    const int odd = channelFromRecords(listOf({parse(wireRecord(0xC8, ""))}), nullptr, false);
    EXPECT_EQ(odd, -56);
    const uint8_t address[6] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
    EXPECT_EQ(rfcommConnectChannel(address, odd), -1);
    EXPECT_EQ(rfcommConnectChannel(address, 0), -1);
    EXPECT_EQ(rfcommConnectChannel(address, 31), -1);
}

TEST(BtServiceSearch, UuidsAndNameAreTheServersOwn) {
    uuid_t mic;
    sdp_uuid128_create(&mic, MicServiceUuid);
    char text[MAX_LEN_UUID_STR];
    sdp_uuid2strn(&mic, text, sizeof text);
    EXPECT_STREQ(text, "40f1f754-0b2f-4fce-8b63-7c94a806a121");

    // The Serial Port UUID is the profile's 16-bit 0x1101 on the base UUID.
    uuid_t serial;
    sdp_uuid128_create(&serial, SerialPortUuid);
    uuid_t serial16;
    sdp_uuid16_create(&serial16, SERIAL_PORT_SVCLASS_ID);
    EXPECT_EQ(sdp_uuid_cmp(&serial, &serial16), 0) << "serial port uuid";
    EXPECT_STREQ(SerialServiceName, "Vexmor");
}

TEST(BtServiceSearch, NoBluetoothInTheKernelFailsCleanly) {
    // The suite runs on machines without Bluetooth support; where the
    // family exists these checks would need a radio and say nothing.
    const int probe = ::socket(AF_BLUETOOTH, SOCK_STREAM, BTPROTO_RFCOMM);
    if (probe >= 0) {
        ::close(probe);
        GTEST_SKIP() << "this kernel has Bluetooth sockets";
    }
    bdaddr_t parsed;
    ASSERT_EQ(str2ba("00:11:22:33:44:55", &parsed), 0);
    uint8_t address[6];
    std::memcpy(address, &parsed, sizeof address);
    EXPECT_EQ(findRfcommChannel(address, nullptr, false, MicServiceUuid), -1);
    EXPECT_EQ(findRfcommChannel(address, SerialServiceName, true, SerialPortUuid), -1);
    EXPECT_EQ(rfcommConnect(address, nullptr, false, MicServiceUuid), -1);
    EXPECT_EQ(rfcommConnectChannel(address, 5), -1);
}

TEST(BtServiceSearch, AddressIsKeptInBdaddrByteOrder) {
    // str2ba stores the text's last pair first; the stream hands the bytes
    // on unchanged.
    bdaddr_t parsed;
    ASSERT_EQ(str2ba("04:02:1F:2A:95:78", &parsed), 0);
    BtDeviceInfo device;
    std::memcpy(device.address, &parsed, sizeof device.address);
    const uint8_t expected[6] = {0x78, 0x95, 0x2A, 0x1F, 0x02, 0x04};
    EXPECT_EQ(std::memcmp(device.address, expected, 6), 0);

    std::vector<uint8_t> seen;
    RfcommConnector spy = [&](const uint8_t (&a)[6], const char*, bool, const uint8_t (&)[16]) {
        seen.assign(a, a + 6);
        return -1;
    };
    EXPECT_EQ(connectByUuid(device, MicServiceUuid, spy), -1);
    EXPECT_EQ(seen, std::vector<uint8_t>(expected, expected + 6));
}

}  // namespace
}  // namespace vexlink
