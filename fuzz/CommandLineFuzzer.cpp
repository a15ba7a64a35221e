// Runs the command-line phase over arbitrary argument vectors (NUL
// separated). Nothing may overflow the settings record or crash the parser.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <getopt.h>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "settings/Settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vexlink;
    static FILE* devnull = std::fopen("/dev/null", "w");
    if (size < 1) return 0;
    const bool loopback = (data[0] & 1) != 0;
    std::vector<std::string> words{"vexlink"};
    std::string current;
    for (size_t i = 1; i < size && words.size() < 24; ++i) {
        if (data[i] == 0) {
            words.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty()) words.push_back(current);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    Settings::resetForTest();
    optind = 0;  // full re-initialisation of getopt between runs
    opterr = 0;
    CommandLineIo io;
    io.out = devnull;
    io.err = devnull;
    io.loopbackAvailable = loopback ? +[] { return true; } : +[] { return false; };
    (void)runCommandLine(static_cast<int>(argv.size() - 1), argv.data(), io);
    return 0;
}
