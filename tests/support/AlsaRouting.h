#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexlink::test {

// Routes the ALSA devices the client opens into files of a per-test folder.
// Writes an ALSA configuration in which "hw:CARD=..,DEV=..", "plughw:..." and
// "default" are `file` plugins over a `null` slave, and points
// ALSA_CONFIG_PATH at it. Must be set up before the process first touches
// ALSA (ALSA caches its configuration); ctest runs each case in its own
// process, so a fixture member or the top of a test body is early enough.
//
//   test::AlsaRouting alsa;                 // routed, files in a temp folder
//   ... run the code ...
//   std::vector<int16_t> pcm = alsa.readLoopback();
class AlsaRouting {
public:
    // BusyLoopback: as Routed, but "plughw:..." (the writer's device) fails
    // to open while "hw:..." (the presence check) opens, as when another
    // program holds the card's playback subdevice.
    enum class Mode { Routed, NoDevices, BusyLoopback };

    explicit AlsaRouting(Mode mode = Mode::Routed);
    ~AlsaRouting();
    AlsaRouting(const AlsaRouting&) = delete;
    AlsaRouting& operator=(const AlsaRouting&) = delete;

    const std::string& folder() const { return folder_; }
    // "ALSA_CONFIG_PATH=<config>", for the environment of a child process.
    std::string environmentEntry() const;

    std::string loopbackPath() const { return folder_ + "/loopback.raw"; }  // plughw:...
    std::string checkPath() const { return folder_ + "/hw.raw"; }           // hw:...
    std::string defaultPath() const { return folder_ + "/default.raw"; }    // default

    std::vector<int16_t> readLoopback() const { return readSamples(loopbackPath()); }
    std::vector<int16_t> readDefault() const { return readSamples(defaultPath()); }
    static std::vector<int16_t> readSamples(const std::string& path);

private:
    std::string folder_;
    std::string configPath_;
};

}  // namespace vexlink::test
