#include "ChildProcess.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace vexlink::test {

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

ChildProcess::ChildProcess(std::string program, std::vector<std::string> args, std::vector<std::string> extraEnv)
    : program_(std::move(program)), args_(std::move(args)), extraEnv_(std::move(extraEnv)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexlink-child-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void ChildProcess::start() {
    // Build everything before fork: the child of a threaded parent may only
    // call async-signal-safe functions.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const bool overridden = std::any_of(extraEnv_.begin(), extraEnv_.end(), [&](const std::string& extra) {
            const size_t name = extra.find('=') + 1;  // 0 (never matching) without one
            return name != 0 && entry.compare(0, name, extra, 0, name) == 0;
        });
        if (!overridden) envStrings.push_back(entry);
    }
    std::copy_if(extraEnv_.begin(), extraEnv_.end(), std::back_inserter(envStrings),
                 [](const std::string& extra) { return extra.find('=') != std::string::npos; });
    std::vector<std::string> argStrings{program_};
    argStrings.insert(argStrings.end(), args_.begin(), args_.end());
    const auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (auto& s : strings) out.push_back(s.data());
        out.push_back(nullptr);
        return out;
    };
    std::vector<char*> envp = pointers(envStrings), argv = pointers(argStrings);
    const std::string outPath = folder_ + "/stdout";
    const std::string errPath = folder_ + "/stderr";
    int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int inFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (outFd < 0 || errFd < 0 || inFd < 0) throw std::runtime_error("cannot open capture files");

    pid_ = fork();
    if (pid_ == 0) {
        dup2(inFd, 0);
        dup2(stdoutFd_ >= 0 ? stdoutFd_ : outFd, 1);
        dup2(stderrFd_ >= 0 ? stderrFd_ : errFd, 2);
        // Start with default signal dispositions and an empty mask.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    ::close(inFd);
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

void ChildProcess::signal(int signo) {
    if (pid_ > 0 && status_ < 0) kill(pid_, signo);
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
    if (status_ >= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int raw = 0;
        pid_t r = waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string ChildProcess::stdoutText() const { return readAll(folder_ + "/stdout"); }
std::string ChildProcess::stderrText() const { return readAll(folder_ + "/stderr"); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (stdoutText().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ChildProcess::run(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& extraEnv, std::string* out, std::string* err,
                      std::chrono::milliseconds limit) {
    ChildProcess child(program, args, extraEnv);
    child.start();
    int status = child.wait(limit);
    if (status < 0) {
        child.signal(SIGKILL);
        child.wait(std::chrono::seconds(5));
    }
    if (out) *out = child.stdoutText();
    if (err) *err = child.stderrText();
    return status;
}

}  // namespace vexlink::test
