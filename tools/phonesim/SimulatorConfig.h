#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/phonesim/ImpairmentModel.h"
#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/SignalSource.h"

namespace vexlink::phonesim {

// Control message types as they appear on the wire.
enum SimMessageType : uint8_t {
    kSimHello = 101,
    kSimSetup = 102,
    kSimStart = 103,
    kSimCommand104 = 104,
    kSimKeepAlive = 105,
};

enum class ReplyAction : uint8_t {
    Reply,   // send the reply
    Silent,  // never answer (keep reading and recording)
    Close,   // close the connection instead of (or after part of) the reply
    Reset,   // the same with SO_LINGER 0, so the client sees a reset
};

// How the simulator answers one request type. The defaults give a correct
// reply: type = the request's type, length = body size, body = status
// (Hello: status, server version).
struct ReplyBehaviour {
    uint8_t status = 0;
    ReplyAction action = ReplyAction::Reply;
    std::optional<uint8_t> type;                // reply type byte instead of the request's
    std::optional<uint32_t> declaredLength;     // length field sent, whatever body follows
    std::optional<std::vector<uint8_t>> body;   // the whole body instead of the normal one
    std::vector<uint8_t> extraBody;             // appended to the body and counted in its length
    std::vector<uint8_t> trailing;              // sent after the frame, not counted
    uint32_t delayMs = 0;                       // wait before the reply (or the close) goes out
    uint32_t partialBytes = 0;                  // Silent/Close/Reset: first send this many reply bytes
    uint32_t trickleMs = 0;                     // send the reply one byte at a time, this many ms apart
};

enum class AcceptAction : uint8_t { Serve, Close, Reset };

struct ControlConfig {
    // Numeric address to listen on (127.0.0.1, ::1, ...); port 0 picks a free one.
    std::string listenAddress = "127.0.0.1";
    uint16_t port = 0;
    uint8_t serverVersion = 4;
    ReplyBehaviour hello;
    ReplyBehaviour setup;
    ReplyBehaviour start;
    ReplyBehaviour command104;
    AcceptAction onAccept = AcceptAction::Serve;
    // End the session when the n-th KeepAlive arrives (0: never), by closing
    // or resetting the connection (keepAliveEndAction Close or Reset).
    uint32_t endAfterKeepAlives = 0;
    ReplyAction keepAliveEndAction = ReplyAction::Close;
    // Sessions to serve, one after the other, before the simulator finishes
    // (0: until stopped).
    uint32_t maxSessions = 1;
    // After the session, refuse connections for this long (0: not at all):
    // the listener is closed and opened again on the same port, as a phone
    // whose server app restarts.
    uint32_t refuseAfterSessionMs = 0;
    // A request declaring a longer body ends the session (protocol error).
    uint32_t maxBodyBytes = 65536;
};

struct MediaConfig {
    bool enabled = true;
    // Packet layout: 2, 3 or 4; 0 follows the announced server version
    // (2, 3, and 4 for 4 or more).
    int version = 0;
    std::shared_ptr<const SignalSource> signal;  // null: a 1 kHz tone at half scale
    OpusApplication application = OpusApplication::Voip;
    int32_t bitrate = 32000;
    int32_t complexity = 5;
    // In-band FEC, tuned for this expected loss (percent); 0: none.
    int32_t fecLossPercent = 0;
    uint8_t gainCode = 5;
    uint32_t firstSequence = 0;
    uint32_t firstTimestampMs = 0;
    // Wait this long after the Start reply before the first packet.
    uint32_t startDelayMs = 0;
    // How many packets: packetCount if set, else as many as fit durationMs,
    // else the signal's length, else endless (until the session ends).
    uint64_t packetCount = 0;
    uint32_t durationMs = 0;
    // Only a Start reply with status 0 starts the voice.
    bool requireStartOk = true;
    // Close the control connection once the last packet has gone out.
    bool endSessionWhenDone = false;
    // Send to this UDP port instead of the one in Setup (-1: Setup's).
    int32_t portOverride = -1;
    // Keep each packet's Opus payload (and the PCM it was made from) in the record.
    bool recordPayloads = true;
    bool recordPcm = false;
    ImpairmentConfig impairments;
};

struct SimulatorConfig {
    ControlConfig control;
    MediaConfig media;
    // Bluetooth-like link: serve one session over this connected stream
    // socket (e.g. one end of a socketpair) instead of listening on TCP; the
    // voice follows the handshake replies on the same stream. The simulator
    // takes ownership and closes it when the session ends.
    int streamFd = -1;
    // Raw received bytes kept per session (the chunk log stops growing after).
    size_t maxRawLogBytes = 16u * 1024u * 1024u;
    // Keep per-packet records at all (a long CLI run only needs the counters).
    bool recordPackets = true;
    // Changes what one TCP session (numbered from 0) does: called on the
    // control thread with a copy of this configuration before the session
    // is served. Null: every session as configured.
    std::function<void(uint32_t session, SimulatorConfig&)> adjustSession;
};

}  // namespace vexlink::phonesim
