#include <gtest/gtest.h>

#include "SimTestSockets.h"

using namespace vexlink::phonesim;
using namespace vexlink::test;

namespace {

SimulatorConfig controlOnly() {
    SimulatorConfig c;
    c.media.enabled = false;
    return c;
}

constexpr int kStaysOpen = -1;

}  // namespace

TEST(PhoneSimControl, AnswersTheHandshakeAndRecordsEveryByte) {
    Started s(controlOnly());
    ASSERT_TRUE(s.ok);
    // The client writes field by field; framing must not depend on segments.
    const Bytes& hello = kHelloRequest;
    ASSERT_TRUE(s.send(Bytes(hello.begin(), hello.begin() + 1)));
    ASSERT_TRUE(s.sim.waitUntil([](const SimulatorRecord& r) { return r.lastSession() && !r.lastSession()->chunks.empty(); }, 5s));
    ASSERT_TRUE(s.send(Bytes(hello.begin() + 1, hello.end())));
    EXPECT_EQ(s.read(7), kHelloOk);
    ASSERT_TRUE(s.send(setupRequest(49152)));
    EXPECT_EQ(s.read(6), kSetupOk);
    // Unknown requests and KeepAlives are recorded but not answered: the
    // next bytes are the Start reply.
    ASSERT_TRUE(s.send(cat({{0x10, 0, 0, 0, 2, 9, 9}, kKeepAliveRequest, kStartRequest})));
    EXPECT_EQ(s.read(6), kStartOk);
    ASSERT_TRUE(s.sim.waitUntil([](const SimulatorRecord& r) { return r.lastSession()->replies.size() == 3; }, 5s));

    const SimulatorRecord r = s.sim.snapshot();
    ASSERT_EQ(r.sessions.size(), 1u);
    const SessionRecord& session = r.sessions[0];
    EXPECT_EQ(session.peer.rfind("127.0.0.1:", 0), 0u);
    const Bytes all = cat({hello, setupRequest(49152), {0x10, 0, 0, 0, 2, 9, 9}, kKeepAliveRequest, kStartRequest});
    EXPECT_EQ(session.received, all);
    Bytes joined;
    for (const auto& chunk : session.chunks) joined.insert(joined.end(), chunk.bytes.begin(), chunk.bytes.end());
    EXPECT_EQ(joined, all);
    ASSERT_EQ(session.messages.size(), 5u);
    const uint8_t types[] = {101, 102, 0x10, 105, 103};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(session.messages[i].type, types[i]);
    EXPECT_EQ(session.messages[0].body, (Bytes{4, 4, 6, 2, 0, 0}));
    EXPECT_LT(session.messages[0].firstByteUs, session.messages[0].completeUs);
    EXPECT_EQ(session.setupMediaPort, 49152);
    ASSERT_EQ(session.replies.size(), 3u);
    EXPECT_EQ(session.replies[0].bytes, kHelloOk);

    s.client.reset();
    ASSERT_TRUE(s.sim.waitFinished(5s));
    EXPECT_EQ(s.sim.snapshot().sessions[0].end, SessionEnd::ClientClosed);
}

// Each misbehaviour: the replies to Hello, Setup and Start as far as the
// session gets (`steps`), then how the connection ends.
TEST(PhoneSimControl, MisbehavesAsConfigured) {
    struct Case {
        const char* name;
        void (*set)(ControlConfig&);
        int steps;
        Bytes replies[3];
        int end;  // 0 orderly close, ECONNRESET, or kStaysOpen
        int minMs = 0;
        bool ipv6 = false;
    };
    const Case cases[] = {
        {"statuses and version", [](ControlConfig& k) { k.serverVersion = 3; k.hello.status = 12; k.setup.status = 2; k.start.status = 255; },
         3, {{0x65, 0, 0, 0, 2, 12, 3}, {0x66, 0, 0, 0, 1, 2}, {0x67, 0, 0, 0, 1, 255}}, kStaysOpen},
        {"wrong type", [](ControlConfig& k) { k.hello.type = kSimSetup; }, 1, {{0x66, 0, 0, 0, 2, 0, 4}}, kStaysOpen},
        {"declared lengths disagree", [](ControlConfig& k) { k.hello.declaredLength = 0; k.setup.declaredLength = 0xFFFFFFFF; k.start.declaredLength = 10; },
         3, {{0x65, 0, 0, 0, 0, 0, 4}, {0x66, 0xFF, 0xFF, 0xFF, 0xFF, 0}, {0x67, 0, 0, 0, 10, 0}}, kStaysOpen},
        {"extra, trailing and custom body", [](ControlConfig& k) { k.hello.extraBody = {1, 2, 3}; k.setup.trailing = {0xEE}; k.start.body = Bytes{7}; },
         3, {{0x65, 0, 0, 0, 5, 0, 4, 1, 2, 3}, {0x66, 0, 0, 0, 1, 0, 0xEE}, {0x67, 0, 0, 0, 1, 7}}, kStaysOpen},
        {"close at setup", [](ControlConfig& k) { k.setup.action = ReplyAction::Close; }, 2, {kHelloOk, {}}, 0},
        {"reset at start", [](ControlConfig& k) { k.start.action = ReplyAction::Reset; }, 3, {kHelloOk, kSetupOk, {}}, ECONNRESET},
        {"part of hello then close", [](ControlConfig& k) { k.hello.action = ReplyAction::Close; k.hello.partialBytes = 3; }, 1, {{0x65, 0, 0}}, 0},
        {"silent hello", [](ControlConfig& k) { k.hello.action = ReplyAction::Silent; }, 1, {{}}, kStaysOpen},
        {"delayed setup", [](ControlConfig& k) { k.setup.delayMs = 300; }, 3, {kHelloOk, kSetupOk, kStartOk}, kStaysOpen, 295},
        {"trickled hello", [](ControlConfig& k) { k.hello.trickleMs = 50; }, 3, {kHelloOk, kSetupOk, kStartOk}, kStaysOpen, 295},
        {"close on accept", [](ControlConfig& k) { k.onAccept = AcceptAction::Close; }, 0, {}, 0},
        {"reset on accept", [](ControlConfig& k) { k.onAccept = AcceptAction::Reset; }, 0, {}, ECONNRESET},
        {"ipv6", [](ControlConfig&) {}, 3, {kHelloOk, kSetupOk, kStartOk}, kStaysOpen, 0, true},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        SimulatorConfig c = controlOnly();
        tc.set(c.control);
        Started s(c, tc.ipv6);
        ASSERT_TRUE(s.ok);
        const Bytes requests[3] = {kHelloRequest, setupRequest(9), kStartRequest};
        const auto before = Clock::now();
        for (int step = 0; step < tc.steps; ++step) {
            ASSERT_TRUE(s.send(requests[step]));
            EXPECT_EQ(s.read(tc.replies[step].size()), tc.replies[step]) << "step " << step;
        }
        EXPECT_GE(msSince(before), tc.minMs);
        // A silent step or an open session sends nothing more; the simulator
        // still reads and records what arrives.
        ASSERT_EQ(endOf(s.client.get(), tc.end == kStaysOpen ? 200 : 5000), tc.end);
        if (tc.end == kStaysOpen) {
            ASSERT_TRUE(s.send(kKeepAliveRequest));
            ASSERT_TRUE(s.sim.waitForMessages(kSimKeepAlive, 1, 5s));
            s.sim.stop();
        }
        ASSERT_TRUE(s.sim.waitFinished(5s));
        const SimulatorRecord r = s.sim.snapshot();
        ASSERT_EQ(r.sessions.size(), 1u);
        EXPECT_EQ(r.sessions[0].end, tc.end == kStaysOpen ? SessionEnd::Stopped : SessionEnd::Fault);
        if (tc.steps > 0) {
            EXPECT_EQ(r.sessions[0].replies.back().bytes, tc.replies[tc.steps - 1]);
        }
        if (tc.ipv6) {
            EXPECT_EQ(r.sessions[0].peer.rfind("[::1]:", 0), 0u);
        }
    }
}

TEST(PhoneSimControl, AnOversizedRequestEndsTheSessionWithoutBufferingIt) {
    Started s(controlOnly());
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.send({0x65, 0x7F, 0xFF, 0xFF, 0xFF, 1, 2, 3}));
    EXPECT_EQ(endOf(s.client.get()), 0);
    ASSERT_TRUE(s.sim.waitFinished(5s));
    const SimulatorRecord r = s.sim.snapshot();
    EXPECT_EQ(r.sessions[0].end, SessionEnd::ProtocolError);
    EXPECT_TRUE(r.sessions[0].messages.at(0).oversized);
}
