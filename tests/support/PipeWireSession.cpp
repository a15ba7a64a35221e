#include "PipeWireSession.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vexlink::test {

namespace fs = std::filesystem;

PipeWireSession::PipeWireSession() {
    std::string pattern = (fs::temp_directory_path() / "vexlink-pipewire-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    runtimeDir_ = folder_ + "/run";
    fs::create_directories(folder_ + "/config");
    fs::create_directory(runtimeDir_);
    fs::permissions(runtimeDir_, fs::perms::owner_all, fs::perm_options::replace);
    for (const char* daemon : {"pipewire", "wireplumber"}) {
        fs::create_directory_symlink(std::string(VEXLINK_SOURCE_DIR) + "/tests/support/pipewire-config/" + daemon,
                                     folder_ + "/config/" + daemon);
    }
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"XDG_RUNTIME_DIR", runtimeDir_},
             {"PIPEWIRE_RUNTIME_DIR", runtimeDir_},
             {"PIPEWIRE_REMOTE", "pipewire-0"},
             {"PULSE_RUNTIME_PATH", runtimeDir_ + "/pulse"},
             {"PULSE_SERVER", "unix:" + runtimeDir_ + "/pulse/native"},
             {"HOME", folder_},
             {"XDG_CONFIG_HOME", folder_ + "/config"},
             {"XDG_STATE_HOME", folder_ + "/state"},
             {"XDG_DATA_HOME", folder_ + "/data"},
             {"XDG_CACHE_HOME", folder_ + "/cache"}}) {
        environment_.push_back(key + "=" + value);
        setenv(key.c_str(), value.c_str(), 1);
    }
}

PipeWireSession::~PipeWireSession() {
    if (daemons_ != nullptr) {
        // The daemons whose parent shell ends first become this process's
        // children (see start()) and are reaped here.
        const pid_t group = daemons_->pid();
        kill(-group, SIGTERM);
        daemons_->wait(std::chrono::seconds(10));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (kill(-group, 0) == 0) {
            while (waitpid(-group, nullptr, WNOHANG) > 0) {
            }
            if (std::chrono::steady_clock::now() > deadline) kill(-group, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool PipeWireSession::start(std::chrono::milliseconds limit) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // setsid gives the daemons a process group of their own (the forked
    // child is no group leader, so setsid execs without forking again).
    daemons_ = std::make_unique<ChildProcess>(
        "/usr/bin/env",
        std::vector<std::string>{"setsid", "dbus-run-session", "--", "sh",
                                 std::string(VEXLINK_SOURCE_DIR) + "/tests/support/pipewire-session.sh",
                                 std::to_string(getpid())},
        environment_);
    daemons_->start();
    return daemons_->waitForOutput("ready", limit);
}

int PipeWireSession::run(const std::vector<std::string>& command, std::string* out) const {
    std::string err;
    return ChildProcess::run("/usr/bin/env", command, environment_, out, &err);
}

std::unique_ptr<ChildProcess> PipeWireSession::spawn(const std::vector<std::string>& command) const {
    auto child = std::make_unique<ChildProcess>("/usr/bin/env", command, environment_);
    child->start();
    return child;
}

}  // namespace vexlink::test
