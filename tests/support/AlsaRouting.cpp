#include "AlsaRouting.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vexlink::test {

namespace {

std::string makeTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexlink-alsa-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void writeFilePcm(std::ofstream& out, const std::string& name, bool withArgs, const std::string& file,
                  const char* slave = "null") {
    out << "pcm." << name << " {\n";
    if (withArgs) {
        out << "  @args [ CARD DEV SUBDEV ]\n"
               "  @args.CARD { type string default \"0\" }\n"
               "  @args.DEV { type integer default 0 }\n"
               "  @args.SUBDEV { type integer default -1 }\n";
    }
    out << "  type file\n"
           "  slave.pcm \"" << slave << "\"\n"
           "  file \"" << file << "\"\n"
           "  format \"raw\"\n"
           "}\n";
}

void writeConfig(const std::string& folder, const std::string& configPath, bool busyLoopback) {
    std::ofstream out(configPath, std::ios::trunc);
    out << "# Test routing: every device the client opens writes raw S16_LE into a file.\n";
    out << "pcm.null { type null }\n";
    // A device of a card that does not exist: it fails to open quietly, as
    // a subdevice held by another program would.
    out << "pcm.held { type hw card 31 }\n";
    writeFilePcm(out, "hw", true, folder + "/hw.raw");
    writeFilePcm(out, "plughw", true, folder + "/loopback.raw", busyLoopback ? "held" : "null");
    writeFilePcm(out, "default", false, folder + "/default.raw");
    if (!out) throw std::runtime_error("cannot write ALSA routing config");
}

}  // namespace

AlsaRouting::AlsaRouting(Mode mode) : folder_(makeTempFolder()), configPath_(folder_ + "/asound.conf") {
    if (mode != Mode::NoDevices) {
        writeConfig(folder_, configPath_, mode == Mode::BusyLoopback);
    } else {
        // A configuration that defines no device at all: every open fails,
        // as on a PC without the loopback module.
        std::ofstream out(configPath_, std::ios::trunc);
        out << "# no devices\n";
    }
    setenv("ALSA_CONFIG_PATH", configPath_.c_str(), 1);
}

AlsaRouting::~AlsaRouting() {
    if (std::getenv("VEXLINK_KEEP_TEST_FILES") == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::string AlsaRouting::environmentEntry() const { return "ALSA_CONFIG_PATH=" + configPath_; }

std::vector<int16_t> AlsaRouting::readSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string raw{std::istreambuf_iterator<char>(in), {}};
    std::vector<int16_t> samples(raw.size() / 2);
    if (!samples.empty()) std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

}  // namespace vexlink::test
