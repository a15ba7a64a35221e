#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vexlink::test {

// Runs a program as a child process with its own environment additions and
// captures standard output and standard error (to files, so the child never
// blocks on a full pipe). For tests of the real binaries.
class ChildProcess {
public:
    ChildProcess(std::string program, std::vector<std::string> args, std::vector<std::string> extraEnv = {});
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Before start(): the child's standard output is `fd` (a pipe, say; the
    // caller closes its own) instead of the capture file.
    void setStdout(int fd) { stdoutFd_ = fd; }
    // The same for standard error (a pseudo-terminal, say).
    void setStderr(int fd) { stderrFd_ = fd; }
    void start();
    void signal(int signo);
    // Waits for the child to end; returns its exit status (0..255), 128+signal
    // when killed by a signal, or -1 when `limit` passed first.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    pid_t pid() const { return pid_; }

    std::string stdoutText() const;
    std::string stderrText() const;
    // Polls the captured standard output until it contains `text` or the
    // limit passes (polling a file, not sleeping for synchronisation).
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);

    // Convenience: run to completion.
    static int run(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& extraEnv, std::string* out, std::string* err,
                   std::chrono::milliseconds limit = std::chrono::seconds(30));

private:
    std::string program_;
    std::vector<std::string> args_;
    std::vector<std::string> extraEnv_;
    std::string folder_;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace vexlink::test
