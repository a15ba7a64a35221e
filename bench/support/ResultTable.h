#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vexlink::bench {

// The benchmark's records, one line each: tab-separated key=value fields.
// A run of the client: kind=run, profile, strategy, batch (alone or
// batched) and its figures (the keys of the tables below; "–" where there
// is none); a run on the PipeWire output adds output=pipewire, quantum,
// forced and the send -> capture figures. A callgrind replay:
// kind=callgrind, strategy, ir, voice_s.
//
// ResultTable renders them as the markdown of bench/results/end-to-end.md:
// the two tables (profiles in the given order, the strategies side by side),
// the PipeWire runs beside the ALSA ones, the callgrind costs, the
// concurrency check, the targets, judged on the adaptive strategy's rows
// (the tick's while there are none), and the rule for the default: the
// adaptive playout against the tick, profile by profile.
class ResultTable {
public:
    using Record = std::map<std::string, std::string>;

    static Record parse(const std::string& line);

    explicit ResultTable(std::vector<std::string> profileOrder) : order_(std::move(profileOrder)) {}
    void add(const std::string& line);
    void print(FILE* out) const;

private:
    // The ALSA runs; the PipeWire runs (output=pipewire) apart.
    const Record* find(const std::string& profile, const std::string& strategy, const char* batch = "batched") const;
    std::vector<const Record*> graphRuns(const std::string& profile) const;
    std::vector<std::string> strategies() const;
    void printTables(FILE* out) const;
    void printGraph(FILE* out) const;
    void printCallgrind(FILE* out) const;
    void printConcurrency(FILE* out) const;
    void printTargets(FILE* out) const;
    void printDefault(FILE* out) const;

    std::vector<std::string> order_;
    std::vector<Record> runs_;
    std::vector<Record> callgrind_;
    // Profiles whose latency target the adaptive rows missed (printTargets
    // finds them, printDefault reads them).
    mutable std::vector<std::string> latencyMisses_;
};

}  // namespace vexlink::bench
