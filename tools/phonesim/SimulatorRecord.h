#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/phonesim/ImpairmentModel.h"
#include "tools/phonesim/SimulatorConfig.h"

namespace vexlink::phonesim {

// CLOCK_MONOTONIC in microseconds; every time in the record uses it.
int64_t simNowUs();

// One recv() on the control connection, as it arrived.
struct ReceivedChunk {
    int64_t timeUs = 0;
    std::vector<uint8_t> bytes;
};

// One framed control message from the client.
struct ReceivedMessage {
    uint8_t type = 0;
    uint32_t declaredLength = 0;
    std::vector<uint8_t> body;  // empty when oversized
    bool oversized = false;     // declared length above the limit; the session ended
    int64_t firstByteUs = 0;    // arrival of its type byte
    int64_t completeUs = 0;     // arrival of its last byte
};

// What the simulator did about one request.
struct SentReply {
    uint8_t requestType = 0;
    ReplyAction action = ReplyAction::Reply;
    std::vector<uint8_t> bytes;  // the bytes actually written (partial for Close/Reset/Silent; one
                                 // entry per byte of a trickled reply)
    int64_t timeUs = 0;          // when they went out (or the decision was made)
};

enum class SessionEnd : uint8_t {
    Open,           // still running
    ClientClosed,   // orderly close from the client
    ClientReset,    // receive error (connection reset)
    Fault,          // closed or reset by the simulator as configured
    ProtocolError,  // the client declared an oversized body
    MediaDone,      // endSessionWhenDone after the last packet
    Stopped,        // stop() was called
    Error,          // a socket call failed on our side
};

const char* sessionEndName(SessionEnd end);

struct SentPacket {
    uint64_t index = 0;
    uint32_t sequence = 0;      // 32-bit counter; the wire carries its low 16 bits (v2/v3 also the high)
    uint32_t timestampMs = 0;   // v4 header value
    uint8_t gainCode = 0;
    int version = 4;
    std::vector<uint8_t> payload;  // the exact Opus packet
    std::vector<int16_t> pcm;      // the frame it encodes (recordPcm)
    int64_t producedUs = 0;        // when it was encoded (its nominal time)
    bool dropped = false;
    DropCause dropCause = DropCause::None;
    bool reordered = false;
    bool stalled = false;
    std::vector<int64_t> sendTimesUs;  // one per copy written
};

struct SentGarbage {
    uint64_t afterPacket = 0;
    GarbageKind kind = kGarbageRandom;
    uint32_t size = 0;
    int64_t timeUs = 0;
};

struct MediaCounters {
    uint64_t generated = 0;   // packets encoded
    uint64_t sent = 0;        // packets with at least one copy written
    uint64_t lost = 0;        // dropped by the impairments
    uint64_t duplicates = 0;  // extra copies written
    uint64_t reordered = 0;   // packets written after a packet with a higher index
    uint64_t garbage = 0;     // junk datagrams written
    uint64_t sendErrors = 0;  // failed writes
};

struct SessionRecord {
    uint32_t index = 0;
    std::string peer;           // "127.0.0.1:40000", "[::1]:40000" or "stream"
    int64_t startUs = 0;
    int64_t endUs = 0;
    SessionEnd end = SessionEnd::Open;

    std::vector<ReceivedChunk> chunks;
    std::vector<uint8_t> received;  // all bytes of the chunks, in order
    bool receivedTruncated = false;
    std::vector<ReceivedMessage> messages;
    std::vector<SentReply> replies;

    int64_t setupMediaPort = -1;  // port field of Setup, when one arrived
    std::string mediaTarget;      // "127.0.0.1:49152", "stream", or empty
    bool mediaStarted = false;
    int64_t mediaStartUs = 0;     // media time 0: when packet 0 was due
    bool mediaFinished = false;
    int mediaVersion = 0;
    std::string mediaError;

    std::vector<SentPacket> packets;  // by index (recordPackets)
    std::vector<SentGarbage> garbage;
    MediaCounters counters;

    size_t countMessages(uint8_t type) const;
    std::vector<const ReceivedMessage*> messagesOfType(uint8_t type) const;
};

struct SimulatorRecord {
    std::vector<SessionRecord> sessions;
    bool finished = false;  // the control thread has ended
    std::string error;

    const SessionRecord* lastSession() const { return sessions.empty() ? nullptr : &sessions.back(); }
};

}  // namespace vexlink::phonesim
