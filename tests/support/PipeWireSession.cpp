#include "PipeWireSession.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vexlink::test {

namespace fs = std::filesystem;

namespace {

// Waits until no process of group `pgid` is left, reaping those that
// became this process's children; false when some remain after `limit`.
bool reapGroup(pid_t pgid, std::chrono::milliseconds limit) {
    return PipeWireSession::waitUntil(
        [pgid] {
            while (waitpid(-pgid, nullptr, WNOHANG) > 0) {
            }
            return kill(-pgid, 0) != 0 && errno == ESRCH;
        },
        limit);
}

}  // namespace

PipeWireSession::PipeWireSession() {
    std::string pattern = (fs::temp_directory_path() / "vexlink-pipewire-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    runtimeDir_ = folder_ + "/run";
    for (const char* sub : {"run", "home", "config", "state", "data", "cache"}) {
        fs::create_directory(folder_ + "/" + sub);
    }
    fs::permissions(runtimeDir_, fs::perms::owner_all, fs::perm_options::replace);
    for (const char* daemon : {"pipewire", "wireplumber"}) {
        fs::create_directory_symlink(std::string(VEXLINK_SOURCE_DIR) + "/tests/support/pipewire-config/" + daemon,
                                     folder_ + "/config/" + daemon);
    }
    environment_ = {
        "XDG_RUNTIME_DIR=" + runtimeDir_,
        "PIPEWIRE_RUNTIME_DIR=" + runtimeDir_,
        "PIPEWIRE_REMOTE=pipewire-0",
        "PULSE_RUNTIME_PATH=" + runtimeDir_ + "/pulse",
        "PULSE_SERVER=unix:" + runtimeDir_ + "/pulse/native",
        "HOME=" + folder_ + "/home",
        "XDG_CONFIG_HOME=" + folder_ + "/config",
        "XDG_STATE_HOME=" + folder_ + "/state",
        "XDG_DATA_HOME=" + folder_ + "/data",
        "XDG_CACHE_HOME=" + folder_ + "/cache",
    };
}

PipeWireSession::~PipeWireSession() {
    stop();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

bool PipeWireSession::start(std::string* why, std::chrono::milliseconds limit) {
    for (const char* program : {"setsid", "dbus-run-session", "sh", "pipewire", "wireplumber", "pipewire-pulse",
                                "pw-cli", "pw-metadata", "pactl"}) {
        if (findProgram(program).empty()) {
            *why = std::string("missing program: ") + program;
            return false;
        }
    }
    setProcessEnvironment();
    // Daemons whose parent shell ends first become this process's children,
    // so that stop() can reap them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // setsid: the daemons get a process group of their own (the child is
    // not a group leader, so setsid execs without forking again).
    daemons_ = std::make_unique<ChildProcess>(
        findProgram("setsid"),
        std::vector<std::string>{"dbus-run-session", "--", "sh",
                                 std::string(VEXLINK_SOURCE_DIR) + "/tests/support/pipewire-session.sh",
                                 std::to_string(getpid())},
        environment_);
    daemons_->start();
    std::string notYet;
    const bool up = waitUntil([&] { return !daemons_->running() || answers(&notYet); }, limit);
    if (!up || !daemons_->running()) {
        *why = (up ? "the session ended at once" : "no answer within the limit: " + notYet) +
               "; daemons' log:\n" + daemonLog();
        stop();
        return false;
    }
    return true;
}

// All three answer: the PipeWire daemon, pipewire-pulse, and WirePlumber
// (which makes the "default" metadata once its scripts run).
bool PipeWireSession::answers(std::string* why) const {
    std::string out;
    if (run({"pw-cli", "info", "0"}, &out, std::chrono::seconds(10)) != 0) {
        *why = "pipewire";
        return false;
    }
    if (run({"pactl", "info"}, &out, std::chrono::seconds(10)) != 0) {
        *why = "pipewire-pulse";
        return false;
    }
    if (run({"pw-metadata", "-n", "default"}, &out, std::chrono::seconds(10)) != 0 ||
        out.find("Found \"default\" metadata") == std::string::npos) {
        *why = "wireplumber";
        return false;
    }
    return true;
}

void PipeWireSession::stop() {
    if (daemons_ != nullptr) {
        const pid_t group = daemons_->pid();
        kill(-group, SIGTERM);
        daemons_->wait(std::chrono::seconds(10));
        if (!reapGroup(group, std::chrono::seconds(10))) {
            kill(-group, SIGKILL);
            reapGroup(group, std::chrono::seconds(10));
        }
        daemons_->wait(std::chrono::seconds(1));
        savedLog_ = daemons_->stderrText();
        daemons_.reset();
    }
    restoreProcessEnvironment();
}

void PipeWireSession::useWithoutDaemons() { setProcessEnvironment(); }

std::string PipeWireSession::daemonLog() const {
    return daemons_ != nullptr ? daemons_->stderrText() : savedLog_;
}

int PipeWireSession::run(const std::vector<std::string>& command, std::string* out,
                         std::chrono::milliseconds limit) const {
    const std::string program = findProgram(command.at(0));
    if (program.empty()) return 127;
    std::string err;
    return ChildProcess::run(program, {command.begin() + 1, command.end()}, environment_, out, &err, limit);
}

std::unique_ptr<ChildProcess> PipeWireSession::spawn(const std::vector<std::string>& command) const {
    auto child = std::make_unique<ChildProcess>(findProgram(command.at(0)),
                                                std::vector<std::string>(command.begin() + 1, command.end()),
                                                environment_);
    child->start();
    return child;
}

std::string PipeWireSession::findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

void PipeWireSession::nap() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

void PipeWireSession::setProcessEnvironment() {
    if (!savedEnvironment_.empty()) return;
    for (const auto& entry : environment_) {
        const auto eq = entry.find('=');
        const std::string key = entry.substr(0, eq);
        const char* old = std::getenv(key.c_str());
        savedEnvironment_.emplace_back(key, old != nullptr ? std::make_unique<std::string>(old) : nullptr);
        setenv(key.c_str(), entry.c_str() + eq + 1, 1);
    }
}

void PipeWireSession::restoreProcessEnvironment() {
    for (const auto& [key, old] : savedEnvironment_) {
        if (old != nullptr) {
            setenv(key.c_str(), old->c_str(), 1);
        } else {
            unsetenv(key.c_str());
        }
    }
    savedEnvironment_.clear();
}

}  // namespace vexlink::test
