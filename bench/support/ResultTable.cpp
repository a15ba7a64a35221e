#include "ResultTable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <sstream>

namespace vexlink::bench {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kNone = "–";

std::string val(const ResultTable::Record* r, const char* key) {
    if (r == nullptr) return kNone;
    const auto it = r->find(key);
    return it == r->end() || it->second.empty() ? kNone : it->second;
}

double num(const ResultTable::Record* r, const char* key) {
    const std::string v = val(r, key);
    if (v == kNone) return kNaN;
    char* end = nullptr;
    const double d = std::strtod(v.c_str(), &end);
    return end == v.c_str() ? kNaN : d;
}

std::string fmt(double v, int decimals = 1) {
    if (std::isnan(v)) return kNone;
    if (std::isinf(v)) return "never";
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

std::string joined(const ResultTable::Record* r, std::initializer_list<const char*> keys) {
    std::string s;
    for (const char* k : keys) s += (s.empty() ? "" : " / ") + val(r, k);
    return s;
}

// A target's verdict: failed parts win over parts that cannot be judged.
enum class Verdict { Met, Unknown, Failed };

struct Judge {
    Verdict verdict = Verdict::Met;
    std::string figures;
    bool latencyFailed = false;
    // Adds one condition; `ok` is NaN-safe: an unknown figure leaves it unjudged.
    void check(const std::string& figure, double value, const std::function<bool(double)>& ok) {
        figures += (figures.empty() ? "" : "; ") + figure;
        if (std::isnan(value)) {
            if (verdict == Verdict::Met) verdict = Verdict::Unknown;
        } else if (!ok(value)) {
            verdict = Verdict::Failed;
        }
    }
    // A latency target: the default's rule asks for these too.
    void latency(const std::string& figure, double value, const std::function<bool(double)>& ok) {
        check(figure, value, ok);
        if (!std::isnan(value) && !ok(value)) latencyFailed = true;
    }
    // A figure reported beside the verdict, not judged.
    void note(const std::string& figure) { figures += (figures.empty() ? "" : "; ") + figure; }
    const char* text() const {
        return verdict == Verdict::Met ? "met" : verdict == Verdict::Failed ? "**not met**" : kNone;
    }
};

}  // namespace

ResultTable::Record ResultTable::parse(const std::string& line) {
    Record r;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        const size_t eq = field.find('=');
        if (eq != std::string::npos) r[field.substr(0, eq)] = field.substr(eq + 1);
    }
    return r;
}

void ResultTable::add(const std::string& line) {
    Record r = parse(line);
    if (r["kind"] == "run") runs_.push_back(std::move(r));
    else if (r["kind"] == "callgrind") callgrind_.push_back(std::move(r));
}

const ResultTable::Record* ResultTable::find(const std::string& profile, const std::string& strategy,
                                             const char* batch) const {
    for (const Record& r : runs_) {
        if (val(&r, "profile") == profile && val(&r, "strategy") == strategy && val(&r, "batch") == batch &&
            val(&r, "output") == kNone) {
            return &r;
        }
    }
    return nullptr;
}

std::vector<const ResultTable::Record*> ResultTable::graphRuns(const std::string& profile) const {
    std::vector<const Record*> found;
    for (const Record& r : runs_) {
        if (val(&r, "profile") == profile && val(&r, "output") == "pipewire") found.push_back(&r);
    }
    // The graph's default quantum first, then the forced ones.
    std::stable_sort(found.begin(), found.end(),
                     [](const Record* a, const Record* b) { return val(a, "forced") < val(b, "forced"); });
    return found;
}

std::vector<std::string> ResultTable::strategies() const {
    std::vector<std::string> s;
    for (const char* known : {"tick", "adaptive", "adaptive-codec"}) {
        for (const Record& r : runs_) {
            if (val(&r, "strategy") == known && val(&r, "output") == kNone) {
                s.push_back(known);
                break;
            }
        }
    }
    return s;
}

void ResultTable::print(FILE* out) const {
    printTables(out);
    printGraph(out);
    printCallgrind(out);
    printConcurrency(out);
    printTargets(out);
    printDefault(out);
}

void ResultTable::printGraph(FILE* out) const {
    bool any = false;
    for (const Record& r : runs_) any = any || val(&r, "output") == "pipewire";
    if (!any) return;
    std::fputs(
        "\n### PipeWire output\n\n"
        "The adaptive playout pulled by the \"vexlink\" node of a private PipeWire session, recorded by the "
        "benchmark's own capture stream; beside it the same profile on ALSA.\n\n"
        "| profile | quantum | send→capture p50 ms | p99 ms | send→cycle p50 ms | p99 ms | frames located % | "
        "concealed % | discarded % | out of order | slips after 10 s | clicks after 10 s | ratio ppm / set | "
        "CPU ms / min of voice | ALSA send→write p50 / p99 ms | ALSA CPU ms / min |\n"
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---|---:|\n",
        out);
    for (const std::string& p : order_) {
        const Record* alsa = find(p, "adaptive");
        for (const Record* r : graphRuns(p)) {
            const std::string quantum = val(r, "quantum") + (val(r, "forced") == "yes" ? " (forced)" : " (default)");
            std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
                         p.c_str(), quantum.c_str(), val(r, "sc_p50").c_str(), val(r, "sc_p99").c_str(),
                         val(r, "sw_p50").c_str(), val(r, "sw_p99").c_str(), val(r, "located").c_str(),
                         val(r, "concealed").c_str(), val(r, "discarded").c_str(), val(r, "ooo").c_str(),
                         val(r, "slips10").c_str(), val(r, "clicks10").c_str(), joined(r, {"ratio", "ratio_set"}).c_str(),
                         val(r, "cpu").c_str(), joined(alsa, {"sw_p50", "sw_p99"}).c_str(), val(alsa, "cpu").c_str());
        }
    }
}

void ResultTable::printTables(FILE* out) const {
    std::fputs(
        "### Frames and sound\n\n"
        "| profile | strategy | voice s | sent | arrived | net loss % | concealed % | lost / late / underrun | "
        "discarded % | dup / late / flush / overflow | FEC rebuilt / isolated losses recovered / isolated losses | out of order | "
        "played twice | slips after 10 s | clicks / min | clicks after 10 s | SNR real / concealed dB | end |\n"
        "|---|---|---:|---:|---:|---:|---:|---|---:|---|---|---:|---:|---:|---:|---:|---|---|\n",
        out);
    for (const std::string& p : order_) {
        for (const std::string& s : strategies()) {
            const Record* r = find(p, s);
            if (r == nullptr) continue;
            std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n",
                         p.c_str(), s.c_str(), val(r, "voice_s").c_str(), val(r, "sent").c_str(),
                         val(r, "arrived").c_str(), val(r, "net_loss").c_str(), val(r, "concealed").c_str(),
                         joined(r, {"c_lost", "c_late", "c_underrun"}).c_str(), val(r, "discarded").c_str(),
                         joined(r, {"d_dup", "d_late", "d_flush", "d_overflow"}).c_str(),
                         joined(r, {"fec", "recovered", "isolated"}).c_str(), val(r, "ooo").c_str(), val(r, "twice").c_str(),
                         val(r, "slips10").c_str(), val(r, "clicks_min").c_str(), val(r, "clicks10").c_str(),
                         joined(r, {"snr_real", "snr_conc"}).c_str(), val(r, "end").c_str());
        }
    }
    std::fputs(
        "\n### Delay and cost\n\n"
        "| profile | strategy | send→write p50 ms | p99 ms | p99 outside the event ms | arrival→write p50 ms | "
        "p99 ms | recovery s | ratio ppm / set | target ms p50 / max | max depth | CPU ms / min of voice | "
        "peak RSS MB | RSS without routed PCM MB |\n"
        "|---|---|---:|---:|---:|---:|---:|---:|---|---|---:|---:|---:|---:|\n",
        out);
    for (const std::string& p : order_) {
        for (const std::string& s : strategies()) {
            const Record* r = find(p, s);
            if (r == nullptr) continue;
            std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", p.c_str(),
                         s.c_str(), val(r, "sw_p50").c_str(), val(r, "sw_p99").c_str(), val(r, "sw_out_p99").c_str(),
                         val(r, "aw_p50").c_str(), val(r, "aw_p99").c_str(), val(r, "recovery").c_str(),
                         joined(r, {"ratio", "ratio_set"}).c_str(), joined(r, {"target_p50", "target_max"}).c_str(),
                         val(r, "max_depth").c_str(), val(r, "cpu").c_str(), val(r, "rss").c_str(),
                         val(r, "rss_net").c_str());
        }
    }
}

void ResultTable::printCallgrind(FILE* out) const {
    std::fputs(
        "\n### Instructions per voice second (callgrind)\n\n"
        "| strategy | instructions | voice s | instructions per voice second | against the tick |\n"
        "|---|---:|---:|---:|---:|\n",
        out);
    double tick = kNaN;
    for (const Record& r : callgrind_) {
        if (val(&r, "strategy") == "tick") tick = num(&r, "ir") / num(&r, "voice_s");
    }
    for (const Record& r : callgrind_) {
        const double perSecond = num(&r, "ir") / num(&r, "voice_s");
        std::fprintf(out, "| %s | %s | %s | %s | %s |\n", val(&r, "strategy").c_str(), val(&r, "ir").c_str(),
                     val(&r, "voice_s").c_str(), fmt(perSecond, 0).c_str(), fmt(perSecond / tick, 2).c_str());
    }
}

void ResultTable::printConcurrency(FILE* out) const {
    std::fputs(
        "\n### Concurrency check\n\n"
        "The same profiles and seeds run alone before the batches and inside them.\n\n"
        "| profile | strategy | run | concealed % | discarded % | send→write p50 ms | p99 ms | clicks / min | "
        "CPU ms / min of voice |\n"
        "|---|---|---|---:|---:|---:|---:|---:|---:|\n",
        out);
    for (const Record& alone : runs_) {
        if (val(&alone, "batch") != "alone") continue;
        const std::string p = val(&alone, "profile"), s = val(&alone, "strategy");
        for (const char* batch : {"alone", "batched"}) {
            const Record* r = find(p, s, batch);
            if (r == nullptr) continue;
            std::fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", p.c_str(), s.c_str(), batch,
                         val(r, "concealed").c_str(), val(r, "discarded").c_str(), val(r, "sw_p50").c_str(),
                         val(r, "sw_p99").c_str(), val(r, "clicks_min").c_str(), val(r, "cpu").c_str());
        }
    }
}

void ResultTable::printTargets(FILE* out) const {
    const std::vector<std::string> present = strategies();
    const bool haveAdaptive = std::find(present.begin(), present.end(), "adaptive") != present.end();
    const std::string judged = haveAdaptive ? "adaptive" : "tick";
    std::fprintf(out,
                 "\n### Targets for the adaptive playout\n\n"
                 "Judged on the %s strategy's rows%s; the loss rows also on adaptive-codec. \"–\": a figure the "
                 "strategy cannot give.\n\n"
                 "| profile | strategy | target | figures | verdict |\n|---|---|---|---|---|\n",
                 judged.c_str(),
                 haveAdaptive ? "" : " (the adaptive strategy has not run yet: these are the tick's figures)");
    latencyMisses_.clear();
    auto row = [&](const std::string& profile, const std::string& strategy, const std::string& target,
                   const std::function<void(Judge&, const Record*)>& fill) {
        const Record* j = find(profile, strategy);
        if (j == nullptr) return;
        Judge judge;
        fill(judge, j);
        if (judge.latencyFailed && strategy == "adaptive") latencyMisses_.push_back(profile);
        std::fprintf(out, "| %s | %s | %s | %s | %s |\n", profile.c_str(), strategy.c_str(), target.c_str(),
                     judge.figures.c_str(), judge.text());
    };
    auto le = [](double limit) { return [limit](double v) { return v <= limit; }; };
    auto pct = [](const Record* r, const char* key, const char* name) { return std::string(name) + " " + val(r, key) + " %"; };
    auto ms = [](const Record* r, const char* key, const char* name) { return std::string(name) + " " + val(r, key) + " ms"; };

    for (const char* p : {"unimpaired-phase0", "unimpaired-phase5", "unimpaired-phase10", "unimpaired-phase15", "unimpaired-phase19"}) {
        row(p, judged, "concealed ≤ 0.1 %, discarded 0, send→write p50 ≤ 15 ms, p99 ≤ 25 ms", [&](Judge& g, const Record* r) {
            g.check(pct(r, "concealed", "concealed"), num(r, "concealed"), le(0.1));
            g.check("discarded " + val(r, "discarded_n"), num(r, "discarded_n"), le(0));
            g.latency(ms(r, "sw_p50", "p50"), num(r, "sw_p50"), le(15));
            g.latency(ms(r, "sw_p99", "p99"), num(r, "sw_p99"), le(25));
        });
    }
    for (const auto& [p, limit] : {std::pair<const char*, double>{"jitter-20ms", 45}, {"jitter-30ms", 60}}) {
        row(p, judged, "concealed ≤ 1 %, send→write p99 ≤ " + fmt(limit, 0) + " ms", [&](Judge& g, const Record* r) {
            g.check(pct(r, "concealed", "concealed"), num(r, "concealed"), le(1.0));
            g.latency(ms(r, "sw_p99", "p99"), num(r, "sw_p99"), le(limit));
        });
    }
    row("jitter-step-0-30-0", judged, "after the step down, send→write p50 within 5 ms of the unimpaired figure within 30 s",
        [&](Judge& g, const Record* r) {
            g.latency("back after " + val(r, "recovery") + " s (p50 before the step " + val(r, "baseline") + " ms)",
                      num(r, "recovery"), le(30));
        });
    row("reorder-10%", judged, "0 out of order, concealed ≤ 0.5 %, send→write p99 ≤ 60 ms", [&](Judge& g, const Record* r) {
        g.check("out of order " + val(r, "ooo"), num(r, "ooo"), le(0));
        g.check(pct(r, "concealed", "concealed"), num(r, "concealed"), le(0.5));
        g.latency(ms(r, "sw_p99", "p99"), num(r, "sw_p99"), le(60));
    });
    row("duplicates-10%", judged, "none played twice, concealed ≤ 0.1 %, send→write p99 ≤ 30 ms", [&](Judge& g, const Record* r) {
        g.check("played twice " + val(r, "twice"), num(r, "twice"), le(0));
        g.check(pct(r, "concealed", "concealed"), num(r, "concealed"), le(0.1));
        g.latency(ms(r, "sw_p99", "p99"), num(r, "sw_p99"), le(30));
    });
    for (const char* p : {"loss-5%", "bursty-loss-10%", "loss-5%-fec", "bursty-loss-10%-fec"}) {
        const bool fec = std::string(p).find("fec") != std::string::npos;
        const std::string plainLoss = fec ? std::string(p).substr(0, std::string(p).size() - 4) : p;
        for (const std::string& strategy : {judged, std::string("adaptive-codec")}) {
            const bool codec = strategy == "adaptive-codec";
            if (codec && !haveAdaptive) continue;
            const Record* plain = find("unimpaired-phase10", strategy);
            std::string target = "concealed = the loss (±0.5 points), target unchanged (±5 ms)";
            if (codec) target += "; SNR of the concealment above fade's";
            if (codec && fec) target += "; most isolated losses recovered";
            row(p, strategy, target, [&](Judge& g, const Record* r) {
                g.check(pct(r, "concealed", "concealed") + " against a loss of " + val(r, "net_loss") + " %",
                        num(r, "concealed") - num(r, "net_loss"), [](double d) { return std::fabs(d) <= 0.5; });
                g.check("target p50 " + val(r, "target_p50") + " ms (unimpaired " + val(plain, "target_p50") + " ms)",
                        num(r, "target_p50") - num(plain, "target_p50"), [](double d) { return std::fabs(d) <= 5.0; });
                const Record* fade = find(p, judged);
                const Record* other = find(p, "adaptive-codec");
                if (!codec) {
                    g.note("concealment SNR " + val(r, "snr_conc") + " dB (codec " + val(other, "snr_conc") + " dB)");
                    return;
                }
                g.check("concealment SNR " + val(r, "snr_conc") + " dB (fade " + val(fade, "snr_conc") + " dB)",
                        num(r, "snr_conc") - num(fade, "snr_conc"), [](double d) { return d > 0.0; });
                if (fec) {
                    const Record* without = find(plainLoss, "adaptive-codec");
                    g.check("isolated losses recovered " + val(r, "recovered") + " of " + val(r, "isolated") +
                                " (without FEC " + val(without, "recovered") + "; frames rebuilt from FEC " +
                                val(r, "fec") + ")",
                            num(r, "recovered") - num(r, "isolated") / 2.0, [](double d) { return d > 0.0; });
                }
            });
        }
    }
    const Record* base = find("unimpaired-phase10", judged);
    for (const char* p : {"clock+300ppm", "clock-300ppm", "clock+3000ppm", "clock-3000ppm"}) {
        row(p, judged, "after the first 10 s no slips and no clicks; ratio within 30 ppm of the offset; send→write p99 ≤ unimpaired + 5 ms",
            [&](Judge& g, const Record* r) {
                g.check("slips " + val(r, "slips10"), num(r, "slips10"), le(0));
                g.check("clicks " + val(r, "clicks10"), num(r, "clicks10"), le(0));
                g.check("ratio " + val(r, "ratio") + " ppm for " + val(r, "ratio_set") + " ppm",
                        num(r, "ratio") - num(r, "ratio_set"), [](double d) { return std::fabs(d) <= 30.0; });
                g.latency(ms(r, "sw_p99", "p99") + " (unimpaired " + val(base, "sw_p99") + " ms)",
                          num(r, "sw_p99") - num(base, "sw_p99"), le(5.0));
            });
    }
    row("stall-2s", judged, "stale frames discarded on arrival; send→write p99 outside the stall ≤ 40 ms", [&](Judge& g, const Record* r) {
        g.check("discarded late " + val(r, "d_late"), num(r, "d_late"), [](double v) { return v > 0; });
        g.latency(ms(r, "sw_out_p99", "p99 outside"), num(r, "sw_out_p99"), le(40));
    });
    {
        double tick = kNaN, adaptive = kNaN, codec = kNaN;
        for (const Record& r : callgrind_) {
            const double v = num(&r, "ir") / num(&r, "voice_s");
            if (val(&r, "strategy") == "tick") tick = v;
            if (val(&r, "strategy") == "adaptive") adaptive = v;
            if (val(&r, "strategy") == "adaptive-codec") codec = v;
        }
        Judge g;
        g.check("adaptive / tick " + fmt(adaptive / tick, 2), adaptive / tick, le(1.5));
        if (!std::isnan(codec)) g.note("adaptive-codec / tick " + fmt(codec / tick, 2));
        std::fprintf(out, "| all | adaptive | callgrind instructions per voice second ≤ 1.5 × the tick | %s | %s |\n",
                     g.figures.c_str(), g.text());
    }
}

void ResultTable::printDefault(FILE* out) const {
    std::fputs(
        "\n### The default: adaptive against the tick\n\n"
        "Adaptive becomes the default for version 4 only when, on every profile, it conceals and discards no more "
        "frames than the tick, plays no frame out of order, and meets the latency targets above. Profiles whose "
        "figures are cut at the last real frame (all but unimpaired-noprobe).\n\n"
        "| profile | tick concealed + discarded | adaptive concealed + discarded | adaptive out of order | "
        "at least as good |\n|---|---:|---:|---:|---|\n",
        out);
    size_t compared = 0;
    std::string worse, disordered;
    for (const std::string& p : order_) {
        const Record* a = find(p, "adaptive");
        const Record* t = find(p, "tick");
        if (a == nullptr || t == nullptr || val(a, "played_n") == kNone || val(t, "played_n") == kNone) continue;
        ++compared;
        const double lostA = num(a, "concealed_n") + num(a, "discarded_n");
        const double lostT = num(t, "concealed_n") + num(t, "discarded_n");
        const bool ok = lostA <= lostT && num(a, "ooo") == 0;
        if (lostA > lostT) worse += " " + p;
        if (num(a, "ooo") > 0) disordered += " " + p;
        std::fprintf(out, "| %s | %s | %s | %s | %s |\n", p.c_str(), fmt(lostT, 0).c_str(), fmt(lostA, 0).c_str(),
                     val(a, "ooo").c_str(), ok ? "yes" : "**no**");
    }
    std::string latency;
    for (const std::string& p : latencyMisses_) latency += " " + p;
    Judge g;
    g.check("profiles compared " + std::to_string(compared) + "; more concealed + discarded than the tick:" +
                (worse.empty() ? " none" : worse),
            compared == 0 ? kNaN : static_cast<double>(!worse.empty()), [](double v) { return v <= 0; });
    g.check(std::string("frames out of order on:") + (disordered.empty() ? " none" : disordered),
            compared == 0 ? kNaN : static_cast<double>(!disordered.empty()), [](double v) { return v <= 0; });
    g.check(std::string("latency targets missed on:") + (latency.empty() ? " none" : latency),
            compared == 0 ? kNaN : static_cast<double>(!latency.empty()), [](double v) { return v <= 0; });
    std::fprintf(out, "\nVerdict: %s (%s).\n", g.text(), g.figures.c_str());
}

}  // namespace vexlink::bench
