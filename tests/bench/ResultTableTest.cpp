// The targets section: judged on the adaptive rows once there are any,
// compared with the tick's where a target says so.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ResultTable.h"

namespace vexlink::bench {
namespace {

std::string rendered(const std::vector<std::string>& records) {
    ResultTable table({"unimpaired-phase10", "loss-5%"});
    for (const std::string& r : records) table.add(r);
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    table.print(out);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

// The first line after `section` that starts with "| <start>".
std::string line(const std::string& text, const std::string& start, const char* section = "### Targets") {
    const size_t at = text.find("\n| " + start, text.find(section));
    return at == std::string::npos ? "" : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

const std::string kTick = "kind=run\tstrategy=tick\tbatch=batched\tplayed_n=1\t";
const std::string kAdaptive = "kind=run\tstrategy=adaptive\tbatch=batched\tplayed_n=1\t";
const std::string kCodec = "kind=run\tstrategy=adaptive-codec\tbatch=batched\tplayed_n=1\t";

TEST(ResultTable, TargetsJudgeTheAdaptiveRowsAgainstTheirLimitsAndTheTick) {
    const std::string unimpaired = "profile=unimpaired-phase10\tdiscarded_n=0\tsw_p50=9.5\tsw_p99=14.0\tooo=0\t";
    const std::string tickOnly = rendered({kTick + unimpaired + "concealed=0.20\tconcealed_n=2"});
    EXPECT_NE(tickOnly.find("Judged on the tick strategy's rows"), std::string::npos);
    EXPECT_NE(line(tickOnly, "unimpaired-phase10").find("**not met**"), std::string::npos);

    const std::string loss = "profile=loss-5%\tnet_loss=5.0\tdiscarded_n=0\tooo=0\t";
    const std::string all = rendered({
        kTick + unimpaired + "concealed=0.20\tconcealed_n=2",
        kAdaptive + unimpaired + "concealed=0.00\tconcealed_n=0\ttarget_p50=40\tcpu=400",
        kCodec + unimpaired + "concealed=0.00\tconcealed_n=0\ttarget_p50=60",
        kTick + loss + "concealed=5.0\tconcealed_n=75\tsnr_conc=-5.0",
        kAdaptive + loss + "concealed=5.3\tconcealed_n=80\tsnr_conc=-5.0\ttarget_p50=42",
        kCodec + loss + "concealed=5.0\tconcealed_n=75\tsnr_conc=4.0\ttarget_p50=70",
        // The same profile on PipeWire stays out of the ALSA rows.
        kAdaptive + unimpaired + "output=pipewire\tquantum=1024\tforced=no\tsc_p50=30.5\tconcealed_n=900\tsw_p99=99",
        "kind=callgrind\tstrategy=tick\tir=1000\tvoice_s=10",
        "kind=callgrind\tstrategy=adaptive\tir=1200\tvoice_s=10",
    });
    EXPECT_NE(all.find("Judged on the adaptive strategy's rows"), std::string::npos);
    EXPECT_NE(line(all, "unimpaired-phase10 | adaptive").find("| met |"), std::string::npos);
    // Within 0.5 points of the loss and the target within 5 ms of its own
    // unimpaired run; codec concealment also beats fade's SNR.
    EXPECT_NE(line(all, "loss-5% | adaptive |").find("| met |"), std::string::npos) << all;
    EXPECT_NE(line(all, "loss-5% | adaptive-codec").find("**not met**"), std::string::npos);  // target 10 ms up
    EXPECT_NE(line(all, "loss-5% | adaptive-codec").find("SNR 4.0 dB (fade -5.0 dB)"), std::string::npos);
    EXPECT_NE(line(all, "all | adaptive | callgrind").find("| met |"), std::string::npos);
    EXPECT_NE(line(all, "unimpaired-phase10 | 1024 (default) | 30.5", "### PipeWire").find("| 9.5 / 14.0 | 400 |"),
              std::string::npos);
    // Five more frames concealed than the tick on loss-5%: not the default yet.
    EXPECT_NE(line(all, "loss-5% | 75 | 80 | 0 | **no**", "### The default"), "");
    const std::string verdict = all.substr(all.find("Verdict:"));
    EXPECT_NE(verdict.find("more concealed + discarded than the tick: loss-5%"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("latency targets missed on: none"), std::string::npos) << verdict;
    EXPECT_NE(verdict.find("**not met**"), std::string::npos);
}

}  // namespace
}  // namespace vexlink::bench
