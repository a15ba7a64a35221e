#include <gtest/gtest.h>

#include <thread>

#include "SimTestSockets.h"
#include "tools/phonesim/PhoneSimulator.h"

using namespace vexlink::phonesim;
using namespace vexlink::phonesim::test;
using namespace std::chrono_literals;

namespace {

SimulatorConfig quietConfig() {
    SimulatorConfig c;
    c.media.enabled = false;  // these cases look at the control half only
    return c;
}

struct Started {
    explicit Started(SimulatorConfig config) : sim(std::move(config)) {
        std::string error;
        ok = sim.start(&error);
        EXPECT_TRUE(ok) << error;
        if (ok) {
            EXPECT_TRUE(client.connect(sim.config().control.listenAddress, sim.port()));
        }
    }
    PhoneSimulator sim;
    RawClient client;
    bool ok = false;
};

// Replies are recorded right after their bytes went out, so a client can
// see one before the record does.
bool waitForReplies(const PhoneSimulator& sim, size_t count) {
    return sim.waitUntil([&](const SimulatorRecord& r) { return r.lastSession() && r.lastSession()->replies.size() >= count; },
                         5s);
}

const Bytes kHelloOk = {0x65, 0, 0, 0, 2, 0, 4};
const Bytes kSetupOk = {0x66, 0, 0, 0, 1, 0};
const Bytes kStartOk = {0x67, 0, 0, 0, 1, 0};

}  // namespace

TEST(PhoneSimControl, AnswersTheHandshakeAndRecordsEveryByte) {
    Started s(quietConfig());
    ASSERT_TRUE(s.ok);
    EXPECT_NE(s.sim.port(), 0);
    EXPECT_EQ(s.sim.endpoint(), "127.0.0.1:" + std::to_string(s.sim.port()));

    // The client writes field by field; framing must not depend on segments.
    const Bytes hello = helloRequest();
    ASSERT_TRUE(s.client.send(Bytes(hello.begin(), hello.begin() + 1)));
    ASSERT_TRUE(s.sim.waitUntil([](const SimulatorRecord& r) { return r.lastSession() && !r.lastSession()->chunks.empty(); }, 5s));
    ASSERT_TRUE(s.client.send(Bytes(hello.begin() + 1, hello.begin() + 5)));
    ASSERT_TRUE(s.client.send(Bytes(hello.begin() + 5, hello.end())));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    ASSERT_TRUE(s.client.send(setupRequest(49152)));
    EXPECT_EQ(s.client.read(6), kSetupOk);
    ASSERT_TRUE(s.client.send(startRequest()));
    EXPECT_EQ(s.client.read(6), kStartOk);
    // KeepAlive has no reply: the next bytes are the Command104 reply.
    ASSERT_TRUE(s.client.send(concat({keepAliveRequest(), keepAliveRequest(), command104Request()})));
    EXPECT_EQ(s.client.read(6), (Bytes{0x68, 0, 0, 0, 1, 0}));
    ASSERT_TRUE(waitForReplies(s.sim, 4));

    const SimulatorRecord r = s.sim.snapshot();
    ASSERT_EQ(r.sessions.size(), 1u);
    const SessionRecord& session = r.sessions[0];
    EXPECT_EQ(session.peer.rfind("127.0.0.1:", 0), 0u);
    const Bytes all = concat({helloRequest(), setupRequest(49152), startRequest(), keepAliveRequest(),
                              keepAliveRequest(), command104Request()});
    EXPECT_EQ(session.received, all);
    EXPECT_GE(session.chunks.size(), 4u);
    Bytes joined;
    for (size_t i = 0; i < session.chunks.size(); ++i) {
        joined.insert(joined.end(), session.chunks[i].bytes.begin(), session.chunks[i].bytes.end());
        if (i > 0) {
            EXPECT_GE(session.chunks[i].timeUs, session.chunks[i - 1].timeUs);
        }
    }
    EXPECT_EQ(joined, all);

    ASSERT_EQ(session.messages.size(), 6u);
    const uint8_t types[] = {101, 102, 103, 105, 105, 104};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(session.messages[i].type, types[i]);
    EXPECT_EQ(session.messages[0].body, (Bytes{4, 4, 6, 2, 0, 0}));
    EXPECT_EQ(session.messages[1].body, (Bytes{2, 2, 0, 0, 0xC0, 0}));
    EXPECT_EQ(session.messages[2].declaredLength, 0u);
    // The split Hello: first byte before the rest arrived.
    EXPECT_LT(session.messages[0].firstByteUs, session.messages[0].completeUs);
    EXPECT_EQ(session.setupMediaPort, 49152);
    EXPECT_EQ(session.countMessages(kSimKeepAlive), 2u);

    ASSERT_EQ(session.replies.size(), 4u);
    EXPECT_EQ(session.replies[0].bytes, kHelloOk);
    EXPECT_EQ(session.replies[3].requestType, kSimCommand104);

    s.client.close();
    ASSERT_TRUE(s.sim.waitFinished(5s));
    EXPECT_EQ(s.sim.snapshot().sessions[0].end, SessionEnd::ClientClosed);
}

TEST(PhoneSimControl, ServerVersionAndStatusBytesAreConfigurable) {
    SimulatorConfig c = quietConfig();
    c.control.serverVersion = 3;
    c.control.hello.status = 12;
    c.control.setup.status = 2;
    c.control.start.status = 255;
    c.control.command104.status = 13;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), (Bytes{0x65, 0, 0, 0, 2, 12, 3}));
    ASSERT_TRUE(s.client.send(setupRequest(1)));
    EXPECT_EQ(s.client.read(6), (Bytes{0x66, 0, 0, 0, 1, 2}));
    ASSERT_TRUE(s.client.send(startRequest()));
    EXPECT_EQ(s.client.read(6), (Bytes{0x67, 0, 0, 0, 1, 255}));
    ASSERT_TRUE(s.client.send(command104Request()));
    EXPECT_EQ(s.client.read(6), (Bytes{0x68, 0, 0, 0, 1, 13}));
}

TEST(PhoneSimControl, ReplyOfTheWrongType) {
    SimulatorConfig c = quietConfig();
    c.control.hello.type = kSimSetup;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), (Bytes{0x66, 0, 0, 0, 2, 0, 4}));
}

TEST(PhoneSimControl, DeclaredLengthCanDisagreeWithTheBody) {
    SimulatorConfig c = quietConfig();
    c.control.hello.declaredLength = 0;          // 65 00 00 00 00 00 04: body longer than declared
    c.control.setup.declaredLength = 0xFFFFFFFF; // huge
    c.control.start.declaredLength = 10;         // body shorter than declared
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), (Bytes{0x65, 0, 0, 0, 0, 0, 4}));
    ASSERT_TRUE(s.client.send(setupRequest(9)));
    EXPECT_EQ(s.client.read(6), (Bytes{0x66, 0xFF, 0xFF, 0xFF, 0xFF, 0}));
    ASSERT_TRUE(s.client.send(startRequest()));
    EXPECT_EQ(s.client.read(6), (Bytes{0x67, 0, 0, 0, 10, 0}));
    ASSERT_TRUE(s.client.send(command104Request()));  // what follows is the next reply, nothing in between
    EXPECT_EQ(s.client.read(6), (Bytes{0x68, 0, 0, 0, 1, 0}));
}

TEST(PhoneSimControl, ExtraBodyBytesAndTrailingBytes) {
    SimulatorConfig c = quietConfig();
    c.control.hello.extraBody = {1, 2, 3, 4, 5, 6, 7, 8};  // counted: length 10
    c.control.setup.trailing = {0xEE, 0xEF};              // not counted
    c.control.start.body = Bytes{7};                      // a whole custom body
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(15), (Bytes{0x65, 0, 0, 0, 10, 0, 4, 1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(s.client.send(setupRequest(9)));
    EXPECT_EQ(s.client.read(8), (Bytes{0x66, 0, 0, 0, 1, 0, 0xEE, 0xEF}));
    ASSERT_TRUE(s.client.send(startRequest()));
    EXPECT_EQ(s.client.read(6), (Bytes{0x67, 0, 0, 0, 1, 7}));
}

TEST(PhoneSimControl, ClosesAtTheChosenStep) {
    SimulatorConfig c = quietConfig();
    c.control.setup.action = ReplyAction::Close;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    ASSERT_TRUE(s.client.send(setupRequest(9)));
    EXPECT_EQ(s.client.waitClosed(), 0);
    ASSERT_TRUE(s.sim.waitFinished(5s));
    const SimulatorRecord r = s.sim.snapshot();
    EXPECT_EQ(r.sessions[0].end, SessionEnd::Fault);
    ASSERT_EQ(r.sessions[0].replies.size(), 2u);
    EXPECT_EQ(r.sessions[0].replies[1].action, ReplyAction::Close);
    EXPECT_TRUE(r.sessions[0].replies[1].bytes.empty());
}

TEST(PhoneSimControl, ResetsAtTheChosenStep) {
    SimulatorConfig c = quietConfig();
    c.control.start.action = ReplyAction::Reset;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(concat({helloRequest()})));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    ASSERT_TRUE(s.client.send(setupRequest(9)));
    EXPECT_EQ(s.client.read(6), kSetupOk);
    ASSERT_TRUE(s.client.send(startRequest()));
    EXPECT_EQ(s.client.waitClosed(), ECONNRESET);
}

TEST(PhoneSimControl, SendsPartOfAReplyThenCloses) {
    SimulatorConfig c = quietConfig();
    c.control.hello.action = ReplyAction::Close;
    c.control.hello.partialBytes = 3;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7, 5000), (Bytes{0x65, 0, 0}));
    EXPECT_EQ(s.client.waitClosed(), 0);
    ASSERT_TRUE(s.sim.waitFinished(5s));
    EXPECT_EQ(s.sim.snapshot().sessions[0].replies[0].bytes, (Bytes{0x65, 0, 0}));
}

TEST(PhoneSimControl, NeverAnsweringKeepsReadingAndRecording) {
    SimulatorConfig c = quietConfig();
    c.control.hello.action = ReplyAction::Silent;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    ASSERT_TRUE(s.client.send(keepAliveRequest()));
    ASSERT_TRUE(s.sim.waitForMessages(kSimKeepAlive, 1, 5s));
    EXPECT_TRUE(s.client.silentFor(200));
    const SimulatorRecord r = s.sim.snapshot();
    EXPECT_EQ(r.sessions[0].end, SessionEnd::Open);
    ASSERT_EQ(r.sessions[0].replies.size(), 1u);
    EXPECT_EQ(r.sessions[0].replies[0].action, ReplyAction::Silent);
    s.sim.stop();
    s.sim.join();
    EXPECT_EQ(s.sim.snapshot().sessions[0].end, SessionEnd::Stopped);
    EXPECT_EQ(s.client.waitClosed(), 0);
}

TEST(PhoneSimControl, DelaysRepliesByTheGivenTime) {
    SimulatorConfig c = quietConfig();
    c.control.setup.delayMs = 300;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    const int64_t before = nowMs();
    ASSERT_TRUE(s.client.send(setupRequest(9)));
    // KeepAlives sent while the reply waits are still recorded on arrival.
    ASSERT_TRUE(s.client.send(keepAliveRequest()));
    ASSERT_TRUE(s.sim.waitForMessages(kSimKeepAlive, 1, 5s));
    EXPECT_EQ(s.client.read(6, 5000), kSetupOk);
    EXPECT_GE(nowMs() - before, 295);
    ASSERT_TRUE(waitForReplies(s.sim, 2));
    const SimulatorRecord r = s.sim.snapshot();
    const auto& session = r.sessions[0];
    const int64_t waited = session.replies[1].timeUs - session.messages[1].completeUs;
    EXPECT_GE(waited, 300000);
    EXPECT_LT(session.messages[2].completeUs, session.replies[1].timeUs);
}

TEST(PhoneSimControl, ClosesOrResetsRightAfterAccepting) {
    for (auto action : {AcceptAction::Close, AcceptAction::Reset}) {
        SimulatorConfig c = quietConfig();
        c.control.onAccept = action;
        Started s(c);
        ASSERT_TRUE(s.ok);
        const int got = s.client.waitClosed();
        EXPECT_EQ(got, action == AcceptAction::Close ? 0 : ECONNRESET);
        ASSERT_TRUE(s.sim.waitFinished(5s));
        EXPECT_EQ(s.sim.snapshot().sessions[0].end, SessionEnd::Fault);
    }
}

TEST(PhoneSimControl, EndsTheSessionAtTheNthKeepAlive) {
    SimulatorConfig c = quietConfig();
    c.control.endAfterKeepAlives = 2;
    c.control.keepAliveEndAction = ReplyAction::Reset;
    Started s(c);
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send(keepAliveRequest()));
    ASSERT_TRUE(s.sim.waitForMessages(kSimKeepAlive, 1, 5s));
    EXPECT_EQ(s.sim.snapshot().sessions[0].end, SessionEnd::Open);
    ASSERT_TRUE(s.client.send(keepAliveRequest()));
    EXPECT_EQ(s.client.waitClosed(), ECONNRESET);
}

TEST(PhoneSimControl, AnOversizedRequestEndsTheSessionWithoutBufferingIt) {
    Started s(quietConfig());
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send({0x65, 0x7F, 0xFF, 0xFF, 0xFF, 1, 2, 3}));
    EXPECT_EQ(s.client.waitClosed(), 0);
    ASSERT_TRUE(s.sim.waitFinished(5s));
    const SimulatorRecord r = s.sim.snapshot();
    EXPECT_EQ(r.sessions[0].end, SessionEnd::ProtocolError);
    ASSERT_EQ(r.sessions[0].messages.size(), 1u);
    EXPECT_TRUE(r.sessions[0].messages[0].oversized);
    EXPECT_EQ(r.sessions[0].messages[0].declaredLength, 0x7FFFFFFFu);
}

TEST(PhoneSimControl, UnknownRequestsAreRecordedButNotAnswered) {
    Started s(quietConfig());
    ASSERT_TRUE(s.ok);
    ASSERT_TRUE(s.client.send({0x10, 0, 0, 0, 2, 9, 9}));
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    const auto r = s.sim.snapshot();
    EXPECT_EQ(r.sessions[0].messages[0].type, 0x10);
    EXPECT_EQ(r.sessions[0].messages[0].body, (Bytes{9, 9}));
}

TEST(PhoneSimControl, ListensOnIpv6Loopback) {
    SimulatorConfig c = quietConfig();
    c.control.listenAddress = "::1";
    Started s(c);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.sim.endpoint(), "[::1]:" + std::to_string(s.sim.port()));
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    EXPECT_EQ(s.sim.snapshot().sessions[0].peer.rfind("[::1]:", 0), 0u);
}

TEST(PhoneSimControl, RefusesAnAddressItCannotUse) {
    PhoneSimulator first(quietConfig());
    ASSERT_TRUE(first.start());
    SimulatorConfig c = quietConfig();
    c.control.port = first.port();
    PhoneSimulator second(c);
    std::string error;
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("cannot listen"), std::string::npos) << error;
    c.control.port = 0;
    c.control.listenAddress = "localhost";  // names are not resolved
    PhoneSimulator third(c);
    EXPECT_FALSE(third.start(&error));
}

TEST(PhoneSimControl, ServesOneClientAtATime) {
    SimulatorConfig c = quietConfig();
    c.control.maxSessions = 2;
    Started s(c);
    ASSERT_TRUE(s.ok);
    RawClient second;
    ASSERT_TRUE(second.connect("127.0.0.1", s.sim.port()));  // waits in the backlog
    ASSERT_TRUE(second.send(helloRequest()));
    ASSERT_TRUE(s.client.send(helloRequest()));
    EXPECT_EQ(s.client.read(7), kHelloOk);
    EXPECT_TRUE(second.silentFor(150));
    s.client.close();
    EXPECT_EQ(second.read(7), kHelloOk);
    second.close();
    ASSERT_TRUE(s.sim.waitFinished(5s));
    EXPECT_EQ(s.sim.snapshot().sessions.size(), 2u);
}

TEST(PhoneSimControl, StopEndsAWaitingSimulatorPromptly) {
    PhoneSimulator sim(quietConfig());
    ASSERT_TRUE(sim.start());
    EXPECT_FALSE(sim.finished());
    std::thread stopper([&] { sim.stop(); });
    sim.join();
    stopper.join();
    EXPECT_TRUE(sim.finished());
    EXPECT_TRUE(sim.snapshot().sessions.empty());
}
