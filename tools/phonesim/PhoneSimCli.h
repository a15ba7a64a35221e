#pragma once

#include <string>
#include <vector>

#include "tools/phonesim/SimulatorConfig.h"

namespace vexlink::phonesim {

// The command line of vexlink-phone-sim, parsed into a simulator
// configuration. Parsing is pure (besides loading a WAV file given with
// --signal) so that tests can check it without running the program.
class PhoneSimCli {
public:
    enum class Outcome { Run, Help, Error };

    // args excludes the program name.
    Outcome parse(const std::vector<std::string>& args);

    const SimulatorConfig& config() const { return config_; }
    SimulatorConfig& config() { return config_; }
    bool quiet() const { return quiet_; }
    const std::string& error() const { return error_; }

    static std::string usage();

private:
    bool fault(const std::string& text);

    SimulatorConfig config_;
    bool quiet_ = false;
    std::string error_;
};

}  // namespace vexlink::phonesim
