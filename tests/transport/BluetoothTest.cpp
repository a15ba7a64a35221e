// Bluetooth: the SDP record walk on records parsed from bytes, and the order
// of the two service searches, with a local stream socket pair standing in
// for the RFCOMM link (this machine has no Bluetooth in its kernel).

#include <bluetooth/bluetooth.h>
#include <bluetooth/sdp.h>
#include <bluetooth/sdp_lib.h>
#include <gtest/gtest.h>

#include <cstring>

#include "TestPeers.h"
#include "transport/BtDeviceStream.h"
#include "transport/BtServiceSearch.h"

namespace vexlink {
namespace {

using namespace vexlink::test;

using Descriptor = std::vector<int>;  // a protocol UUID16, then its UINT8 parameters
struct Record { std::vector<Descriptor> stack; std::string name; };  // descriptor list; name ("": none)

// A record parsed from the bytes a search response carries for it.
sdp_record_t* makeRecord(const Record& record) {
    Bytes list, attributes;
    for (const Descriptor& d : record.stack) {
        Bytes e = {0x19, uint8_t(d[0] >> 8), uint8_t(d[0])};  // UUID16
        for (size_t i = 1; i < d.size(); ++i) e.insert(e.end(), {0x08, uint8_t(d[i])});  // UINT8
        list = cat({list, {0x35, uint8_t(e.size())}, e});
    }
    if (!list.empty()) attributes = cat({{0x09, 0x00, 0x04, 0x35, uint8_t(list.size())}, list});
    if (!record.name.empty()) {  // TEXT8
        attributes = cat({attributes, {0x09, 0x01, 0x00, 0x25, uint8_t(record.name.size())},
                          Bytes(record.name.begin(), record.name.end())});
    }
    const Bytes pdu = cat({{0x35, uint8_t(attributes.size())}, attributes});
    int scanned = 0;
    return sdp_extract_pdu(pdu.data(), int(pdu.size()), &scanned);
}

TEST(BtServiceSearch, RecordWalkFindsTheRfcommChannelOfTheLastAcceptedRecord) {
    const Descriptor l2cap = {L2CAP_UUID};
    auto rfcomm = [&](int channel) { return std::vector<Descriptor>{l2cap, {RFCOMM_UUID, channel}}; };
    const struct { std::vector<Record> records; const char* name; bool nameCheck; int channel; } cases[] = {
        {{{rfcomm(5), ""}}, nullptr, false, 5},
        {{{{{L2CAP_UUID, 7}}, ""}}, nullptr, false, -1},  // a UINT8 after L2CAP alone
        {{{{l2cap, {RFCOMM_UUID, 3}, {OBEX_UUID, 9}}, ""}}, nullptr, false, 3},
        {{{rfcomm(7), "Other"}, {rfcomm(5), "Vexmor"}, {rfcomm(9), ""}}, SerialServiceName, true, 5},
        {{{rfcomm(7), "vexmor"}, {rfcomm(9), "Vexmor2"}}, SerialServiceName, true, -1},
        {{{rfcomm(5), "Vexmor"}}, nullptr, true, -1},
        {{{rfcomm(5), "Anything"}}, SerialServiceName, false, 5},
        {{{rfcomm(7), ""}, {rfcomm(5), ""}, {rfcomm(12), ""}}, nullptr, false, 12},
        {{{rfcomm(5), ""}, {{l2cap}, ""}, {{}, "Vexmor"}}, nullptr, false, 5},
        {{}, nullptr, false, -1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        sdp_list_t* list = nullptr;
        for (const Record& r : cases[i].records) list = sdp_list_append(list, makeRecord(r));
        EXPECT_EQ(channelFromRecords(list, cases[i].name, cases[i].nameCheck), cases[i].channel);
    }
}

const BtDeviceInfo kDevice{{0x78, 0x95, 0x2A, 0x1F, 0x02, 0x04}, "<unknown>"};

TEST(BtDeviceStream, OpenSearchesTheMicServiceFirstThenTheSerialPortNamedVexmor) {
    const std::vector<std::string> both = {"40f1f754-0b2f-4fce-8b63-7c94a806a121",
                                           "00001101-0000-1000-8000-00805f9b34fb named Vexmor"};
    for (size_t connecting : {0u, 1u, 2u}) {  // which search connects; 2: neither
        SCOPED_TRACE(connecting);
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Fd peer(pair[1]), spare(connecting == 2 ? pair[0] : -1);
        std::vector<std::string> calls;
        BtDeviceStream stream(kDevice);
        stream.setConnector([&](const uint8_t (&address)[6], const char* name, bool check, const uint8_t (&uuid)[16]) {
            EXPECT_EQ(std::memcmp(address, kDevice.address, 6), 0);
            uuid_t u;
            char text[MAX_LEN_UUID_STR];
            sdp_uuid2strn(sdp_uuid128_create(&u, uuid), text, sizeof text);
            calls.push_back(text + (check ? std::string(" named ") + (name ? name : "-") : ""));
            return calls.size() - 1 == connecting ? pair[0] : -1;
        });
        EXPECT_EQ(stream.open(), connecting < 2 ? 0 : -10);
        EXPECT_EQ(calls, std::vector<std::string>(both.begin(), both.begin() + (connecting ? 2 : 1)));
        EXPECT_EQ(stream.isOpen(), connecting < 2);
    }
}

}  // namespace
}  // namespace vexlink
