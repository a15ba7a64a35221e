#include <gtest/gtest.h>

#include <csignal>

#include "ChildProcess.h"
#include "SimTestSockets.h"
#include "tools/phonesim/PhoneSimCli.h"

using namespace vexlink::phonesim;
using namespace vexlink::phonesim::test;
using vexlink::test::ChildProcess;
using namespace std::chrono_literals;

namespace {

uint16_t portFromListeningLine(const std::string& out) {
    const auto at = out.find("listening on ");
    const auto colon = out.rfind(':', out.find('\n', at));
    return static_cast<uint16_t>(std::stoi(out.substr(colon + 1)));
}

PhoneSimCli::Outcome parse(PhoneSimCli& cli, std::vector<std::string> args) { return cli.parse(args); }

}  // namespace

TEST(PhoneSimCli, DefaultsMatchARealPhone) {
    PhoneSimCli cli;
    ASSERT_EQ(parse(cli, {}), PhoneSimCli::Outcome::Run) << cli.error();
    const SimulatorConfig& c = cli.config();
    EXPECT_EQ(c.control.listenAddress, "127.0.0.1");
    EXPECT_EQ(c.control.port, 8125);
    EXPECT_EQ(c.control.serverVersion, 4);
    EXPECT_EQ(c.control.maxSessions, 1u);
    EXPECT_EQ(c.media.gainCode, 5);
    EXPECT_TRUE(c.media.signal);
    EXPECT_EQ(c.media.packetCount, 0u);
    EXPECT_EQ(c.media.durationMs, 0u);
    EXPECT_FALSE(c.recordPackets);
    EXPECT_FALSE(cli.quiet());
}

TEST(PhoneSimCli, OptionsReachTheConfiguration) {
    PhoneSimCli cli;
    ASSERT_EQ(parse(cli, {"--listen", "::1", "--port=0", "--server-version", "3", "--signal", "chirp", "--seconds",
                          "2.5", "--gain", "9", "--loss", "0.1", "--burst-loss", "0.05,0.3", "--jitter", "40",
                          "--reorder", "0.02", "--duplicate", "0.03", "--clock-ppm", "-150", "--stall-at", "1.5",
                          "--stall-for", "300", "--garbage", "0.2", "--seed", "77", "--status-hello", "1",
                          "--status-setup", "2", "--status-start", "3", "--flood", "3", "--quiet", "--fault",
                          "setup:reset:2", "--fault", "hello:delay:250", "--fault", "keepalive:close:4"}),
              PhoneSimCli::Outcome::Run)
        << cli.error();
    const SimulatorConfig& c = cli.config();
    EXPECT_EQ(c.control.listenAddress, "::1");
    EXPECT_EQ(c.control.port, 0);
    EXPECT_EQ(c.control.serverVersion, 3);
    EXPECT_EQ(c.media.durationMs, 2500u);
    EXPECT_EQ(c.media.gainCode, 9);
    const auto& imp = c.media.impairments;
    EXPECT_DOUBLE_EQ(imp.loss, 0.1);
    EXPECT_DOUBLE_EQ(imp.burstGoodToBad, 0.05);
    EXPECT_DOUBLE_EQ(imp.burstBadToGood, 0.3);
    EXPECT_DOUBLE_EQ(imp.burstLossInBad, 1.0);
    EXPECT_EQ(imp.jitterMs, 40u);
    EXPECT_DOUBLE_EQ(imp.reorder, 0.02);
    EXPECT_DOUBLE_EQ(imp.duplicate, 0.03);
    EXPECT_DOUBLE_EQ(imp.clockPpm, -150);
    EXPECT_EQ(imp.stallAtMs, 1500);
    EXPECT_EQ(imp.stallForMs, 300u);
    EXPECT_DOUBLE_EQ(imp.garbageRate, 0.2);
    EXPECT_EQ(imp.seed, 77u);
    EXPECT_EQ(imp.flood, 3u);
    EXPECT_EQ(c.control.hello.status, 1);
    EXPECT_EQ(c.control.setup.status, 2);
    EXPECT_EQ(c.control.start.status, 3);
    EXPECT_EQ(c.control.setup.action, ReplyAction::Reset);
    EXPECT_EQ(c.control.setup.partialBytes, 2u);
    EXPECT_EQ(c.control.hello.delayMs, 250u);
    EXPECT_EQ(c.control.endAfterKeepAlives, 4u);
    EXPECT_TRUE(cli.quiet());
}

TEST(PhoneSimCli, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "70000"}, {"--port"}, {"--loss", "1.5"}, {"--loss", "x"}, {"--bogus"}, {"stray"},
        {"--stall-at", "1"}, {"--fault", "hello:explode"}, {"--fault", "nowhere:close"}, {"--burst-loss", "0.1"},
        {"--flood", "0"}, {"--signal", "/nonexistent.wav"}, {"--quiet=1"}, {"--media-version", "1"},
    };
    for (const auto& args : bad) {
        PhoneSimCli cli;
        EXPECT_EQ(cli.parse(args), PhoneSimCli::Outcome::Error) << args[0];
        EXPECT_FALSE(cli.error().empty());
    }
    PhoneSimCli cli;
    EXPECT_EQ(parse(cli, {"--help"}), PhoneSimCli::Outcome::Help);
}

TEST(PhoneSimCli, PrintsItsListeningLineAndEndsCleanlyOnSigint) {
    ChildProcess child(VEXLINK_PHONESIM_BINARY, {"--port", "0", "--quiet"});
    child.start();
    ASSERT_TRUE(child.waitForOutput("listening on 127.0.0.1:", 10s)) << child.stderrText();
    EXPECT_NE(portFromListeningLine(child.stdoutText()), 0);
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(10s), 0) << child.stderrText();
    EXPECT_NE(child.stdoutText().find("summary: sessions=0 packets=0"), std::string::npos) << child.stdoutText();
}

TEST(PhoneSimCli, ServesOneSessionAndExitsWhenTheClientLeaves) {
    ChildProcess child(VEXLINK_PHONESIM_BINARY, {"--listen", "::1", "--port", "0", "--packets", "5"});
    child.start();
    ASSERT_TRUE(child.waitForOutput("listening on [::1]:", 10s)) << child.stderrText();
    RawClient client;
    UdpReceiver udp(true);
    ASSERT_TRUE(client.connect("::1", portFromListeningLine(child.stdoutText())));
    ASSERT_TRUE(client.send(concat({helloRequest(), setupRequest(udp.port()), startRequest()})));
    EXPECT_EQ(client.read(19), (Bytes{0x65, 0, 0, 0, 2, 0, 4, 0x66, 0, 0, 0, 1, 0, 0x67, 0, 0, 0, 1, 0}));
    std::vector<Bytes> got;
    Bytes d;
    while (got.size() < 5 && udp.receive(d, 5000)) got.push_back(d);
    EXPECT_EQ(got.size(), 5u);
    ASSERT_TRUE(client.send(keepAliveRequest()));
    client.close();
    EXPECT_EQ(child.wait(10s), 0) << child.stderrText();
    const std::string out = child.stdoutText();
    EXPECT_NE(out.find("client [::1]:"), std::string::npos) << out;
    EXPECT_NE(out.find("summary: sessions=1 packets=5 sent=5 lost=0"), std::string::npos) << out;
    EXPECT_NE(out.find("keepalives=1 end=client closed"), std::string::npos) << out;
}

TEST(PhoneSimCli, HelpAndUsageErrors) {
    std::string out, err;
    EXPECT_EQ(ChildProcess::run(VEXLINK_PHONESIM_BINARY, {"--help"}, {}, &out, &err), 0);
    EXPECT_NE(out.find("usage: vexlink-phone-sim"), std::string::npos);
    EXPECT_EQ(ChildProcess::run(VEXLINK_PHONESIM_BINARY, {"--loss", "2"}, {}, &out, &err), 2);
    EXPECT_NE(err.find("invalid value '2' for --loss"), std::string::npos) << err;
}
