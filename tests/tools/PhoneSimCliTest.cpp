#include <gtest/gtest.h>

#include <csignal>

#include "ChildProcess.h"
#include "SimTestSockets.h"
#include "tools/phonesim/PhoneSimCli.h"

using namespace vexlink::phonesim;
using namespace vexlink::test;

TEST(PhoneSimCli, ListensAnswersAndEndsCleanlyOnSigint) {
    ChildProcess child(VEXLINK_PHONESIM_BINARY, {"--port", "0", "--quiet", "--fault", "hello:delay:1",
                                                "--fault", "hello:trickle:1"});
    child.start();
    ASSERT_TRUE(child.waitForOutput("listening on 127.0.0.1:", 10s)) << child.stderrText();
    const std::string out = child.stdoutText();
    const auto at = out.find("listening on 127.0.0.1:") + 23;
    const Fd client = socketAt("127.0.0.1", static_cast<uint16_t>(std::stoi(out.substr(at))), SOCK_STREAM, false);
    ASSERT_TRUE(sendAll(client.get(), kHelloRequest));
    EXPECT_EQ(recvBytes(client.get(), 7), kHelloOk);
    child.signal(SIGINT);
    EXPECT_EQ(endOf(client.get(), 10000), 0);
    EXPECT_EQ(child.wait(10s), 0) << child.stderrText();
    EXPECT_NE(child.stdoutText().find("summary: sessions=1 packets=0"), std::string::npos) << child.stdoutText();
}

TEST(PhoneSimCli, BadCommandLinesAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "70000"}, {"--port"}, {"--loss", "1.5"}, {"--bogus"}, {"stray"}, {"--fault", "hello:explode"},
        {"--burst-loss", "0.1"}, {"--flood", "0"}, {"--signal", "/nonexistent.wav"}, {"--quiet=1"},
        {"--jitter-span", "40:20:30"}, {"--jitter-span", "20:40"}, {"--fec=1"},
    };
    for (const auto& args : bad) {
        PhoneSimCli cli;
        EXPECT_EQ(cli.parse(args), PhoneSimCli::Outcome::Error) << args[0];
        EXPECT_FALSE(cli.error().empty());
    }
    PhoneSimCli good;
    ASSERT_EQ(good.parse({"--fec", "--jitter-span", "20:40.5:30"}), PhoneSimCli::Outcome::Run) << good.error();
    EXPECT_EQ(good.config().media.fecLossPercent, 10);
    const auto& span = good.config().media.impairments.jitterSpans[0];
    EXPECT_EQ(good.config().media.impairments.jitterSpanCount, 1u);
    EXPECT_EQ(span.fromMs, 20000);
    EXPECT_EQ(span.toMs, 40500);
    EXPECT_EQ(span.jitterMs, 30u);
    std::string out, err;
    EXPECT_EQ(ChildProcess::run(VEXLINK_PHONESIM_BINARY, {"--loss", "2"}, {}, &out, &err), 2);
    EXPECT_NE(err.find("invalid value '2' for --loss"), std::string::npos) << err;
}
